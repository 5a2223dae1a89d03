#pragma once

#include "base/Result.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace quorlinth {

// A name a peer offered, made safe to create inside the download folder: its last path
// component; ":" becomes "-"; control characters, line and paragraph separators, bidirectional
// overrides, "/" and NUL dropped; leading dots removed; at most 200 characters (the last ones,
// so the extension survives) and at most kMaxNameBytes bytes of UTF-8; empty becomes
// "未命名文件". Invalid UTF-8 becomes U+FFFD. Never ".", "..", hidden or containing "/".
std::string safeFileName(std::string_view offered);

// Room left in the file system's 255-byte name limit for a " (9999)" suffix.
inline constexpr size_t kMaxNameBytes = 240;

// "<base> (<n>).<extension>", or "<base> (<n>)" for a name without extension.
std::string numberedName(const std::string& name, int n);

// Moves `partial` into `folder` under `name`, or the first free numbered name (2 to 9,999),
// or "<UUID>.<extension>" when all are taken. Never replaces an existing file, also when one
// appears meanwhile. Returns the final location.
Result<std::filesystem::path> moveIntoFolder(const std::filesystem::path& partial,
                                             const std::filesystem::path& folder, const std::string& name);

} // namespace quorlinth
