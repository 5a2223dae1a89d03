#pragma once

#include "base/Result.h"

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace quorlinth {

// The swap, run by /bin/sh once the updating process has gone, so the running installation
// is never replaced while in use. $1 the process to wait for, $2 the installation, $3 the staged
// new copy, $4 where the previous copy is parked; $5 the launcher to start afterwards (empty:
// none). A failed swap puts the previous copy back and removes the staged one.
extern const char* const kSwapScript;

struct UpdateSwapPaths {
    std::filesystem::path installation;
    std::filesystem::path staging;
    std::filesystem::path previous;
};

// Starts the swap script as a process of its own session, with no terminal and its output
// discarded, so it outlives this process. `launcher` is a file name inside the installation.
Result<void> launchSwap(pid_t waitFor, const UpdateSwapPaths& paths, const std::string& launcher);

} // namespace quorlinth
