#pragma once

#include "base/Result.h"

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace quorlinth {

// Limits that keep a hostile archive from filling the disk.
inline constexpr uint64_t kMaxUnpackedBytes = 2ull * 1024 * 1024 * 1024;
inline constexpr size_t kMaxArchiveEntries = 100'000;

// Whether an archive entry name stays inside the folder it is unpacked into: relative, no ".."
// component, not empty.
bool isContainedEntryPath(std::string_view name);
// Whether a symbolic link with this target, wherever it sits, resolves inside the folder: only
// relative targets that never climb.
bool isContainedLinkTarget(std::string_view target);

// Unpacks a gzip-compressed tar archive into `destination` (created if needed). Directories,
// regular files and contained symbolic links only; anything that would land outside the folder,
// hard links, devices, set-id bits and oversized contents are refused, with one Chinese text.
Result<void> unpackReleaseArchive(const std::filesystem::path& archive,
                                  const std::filesystem::path& destination);

} // namespace quorlinth
