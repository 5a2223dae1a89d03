#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quorlinth {

class MacUpdates;

// "正在下载新版本… 45%（12.3 MB / 27.0 MB）"
std::string downloadProgressLine(uint64_t received, uint64_t total);

// A manual check and, unless `checkOnly`, the install of what it finds, for a terminal: every
// new status line and each whole download percent goes to `print`; `finish` is called once with
// the exit code: 0 when the check succeeded (with `checkOnly`), when this copy is up to date, or
// when the install has been handed to the swap (the caller must then quit); 1 otherwise. Takes
// over the updater's onChange and onTerminate. Main thread.
void runTerminalUpdate(MacUpdates& updates, bool checkOnly, std::function<void(const std::string&)> print,
                       std::function<void(int)> finish);

} // namespace quorlinth
