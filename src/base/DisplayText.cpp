#include "base/DisplayText.h"

#include <cstdint>
#include <optional>

namespace quorlinth {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The next code point of `text` from `at`, advancing `at`; U+FFFD for an ill-formed sequence.
char32_t nextCodePoint(std::string_view text, size_t& at) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    uint8_t lead = byte(at++);
    if (lead < 0x80) return lead;
    int length = lead >= 0xC2 && lead <= 0xDF   ? 2
                 : lead >= 0xE0 && lead <= 0xEF ? 3
                 : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                : 0;
    if (length == 0) return kReplacement;
    char32_t value = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if (at >= text.size() || (byte(at) & 0xC0) != 0x80) return kReplacement;
        value = (value << 6) | (byte(at++) & 0x3F);
    }
    bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    if (overlong || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return kReplacement;
    return value;
}

bool hidden(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x180E ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) ||
           c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::string displaySafe(std::string_view text, size_t maxCharacters) {
    std::string out;
    size_t kept = 0;
    for (size_t at = 0; at < text.size();) {
        char32_t c = nextCodePoint(text, at);
        if (hidden(c)) continue;
        if (kept == maxCharacters) return out + "…";
        append(out, c);
        ++kept;
    }
    return out;
}

} // namespace quorlinth
