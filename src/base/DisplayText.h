#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorlinth {

// Text another party chose (a device or user name), made safe to show in a line, a prompt or a
// terminal: ill-formed UTF-8 becomes U+FFFD; control, bidirectional and invisible format
// characters are dropped (they could reorder or hide what the person reads, or drive a
// terminal); longer text is cut to `maxCharacters` with "…".
std::string displaySafe(std::string_view text, size_t maxCharacters = 64);

} // namespace quorlinth
