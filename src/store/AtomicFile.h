#pragma once

#include "base/Result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quorlinth {

// Replaces `path` with `contents` so that readers see either the old or the new file, never a
// mix: a temporary file in the same folder is written, synced and renamed over the target, and
// the folder is synced. `mode` applies to the new file.
Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                 mode_t mode = 0644);

// The whole file, or nullopt when it is missing, unreadable or larger than `maxSize`.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, size_t maxSize);

} // namespace quorlinth
