#pragma once

#include <string>
#include <string_view>

namespace quorlinth::service {

// Names that other people's screens show (device names, the requesting Mac's name of a QR
// sign-in) lose control, format and bidirectional characters and line breaks, so that a
// name cannot hide, reorder or forge the text around it; surrounding spaces go too.
// `text` is valid UTF-8 (the JSON reader checked it).
std::string displayableName(std::string_view text);

// Whether a name is free of the characters above (user names are refused, not altered).
bool isDisplayable(std::string_view text);

} // namespace quorlinth::service
