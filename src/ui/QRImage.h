#pragma once

#include <QImage>
#include <string>

namespace quorlinth {

// The QR code of `text` (its UTF-8 bytes) with a quiet zone of 4 modules, each module
// `scale` pixels; a null image when the text does not fit into a code.
QImage qrImage(const std::string& text, int scale = 8);

} // namespace quorlinth
