#pragma once

#include <cstddef>
#include <string>

namespace quorlinth {

inline constexpr size_t kLANNameCharacters = 64;

// A name announced by the other side, safe to show and store: control and bidirectional
// override characters become U+FFFD, and only the first 64 user-perceived characters are kept
// (never cutting inside one).
std::string peerName(const std::string& announced);

} // namespace quorlinth
