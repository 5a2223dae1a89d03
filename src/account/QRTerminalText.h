#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

// A QR code of `text` for a terminal: two module rows per line in Unicode half blocks, light
// modules drawn and dark ones left blank (a terminal's dark background), inside the 4-module
// quiet zone scanners need. None when the text does not fit in a QR code.
std::optional<std::string> qrTerminalText(std::string_view text);

} // namespace quorlinth
