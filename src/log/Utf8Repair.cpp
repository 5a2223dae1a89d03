#include "log/Utf8Repair.h"

#include <cstdint>

namespace quorlinth {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the valid sequence starting at `at`, or the length of the ill-formed prefix to
// replace (as a negative number).
int sequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t index) { return static_cast<uint8_t>(text[index]); };
    const uint8_t lead = byte(at);
    if (lead < 0x80) return 1;
    int length = 0;
    uint8_t low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;  // overlong
        if (lead == 0xED) high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;  // overlong
        if (lead == 0xF4) high = 0x8F; // above U+10FFFF
    } else {
        return -1;
    }
    for (int offset = 1; offset < length; ++offset) {
        if (at + offset >= text.size()) return -offset;
        const uint8_t next = byte(at + offset);
        const bool valid = offset == 1 ? next >= low && next <= high : isContinuation(next);
        if (!valid) return -offset;
    }
    return length;
}

} // namespace

std::string repairUtf8(std::string_view text) {
    std::string repaired;
    repaired.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const int length = sequenceLength(text, at);
        if (length > 0) {
            repaired.append(text.substr(at, static_cast<size_t>(length)));
            at += static_cast<size_t>(length);
        } else {
            repaired.append(kReplacement);
            at += static_cast<size_t>(-length);
        }
    }
    return repaired;
}

} // namespace quorlinth
