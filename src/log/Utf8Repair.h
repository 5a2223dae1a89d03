#pragma once

#include <string>
#include <string_view>

namespace quorlinth {

// Valid UTF-8 with every ill-formed sequence (stray continuation bytes, truncated, overlong or
// surrogate encodings, code points above U+10FFFF) replaced by U+FFFD, one per maximal
// ill-formed subpart as Unicode recommends.
std::string repairUtf8(std::string_view text);

} // namespace quorlinth
