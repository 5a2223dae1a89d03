#include "base/Uuid.h"

#include <cctype>
#include <random>

namespace quorlinth {

std::string uuidV4(LetterCase letters) {
    // random_device reads the kernel's random source on this platform.
    std::random_device source;
    Bytes bytes(16);
    for (size_t i = 0; i < bytes.size(); i += 4) {
        uint32_t word = source();
        for (size_t j = 0; j < 4; ++j)
            bytes[i + j] = uint8_t(word >> (8 * j));
    }
    bytes[6] = (bytes[6] & 0x0F) | 0x40; // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80; // RFC 4122 variant
    std::string hex = hexEncode(bytes, letters);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
           "-" + hex.substr(20);
}

bool isUuid(std::string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return false;
        if (!dash && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

} // namespace quorlinth
