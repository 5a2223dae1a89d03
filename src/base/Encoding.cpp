#include "base/Encoding.h"

#include <array>

namespace quorlinth {

namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr std::array<int8_t, 256> base64Values() {
    std::array<int8_t, 256> values{};
    for (auto& v : values)
        v = -1;
    for (size_t i = 0; i < kBase64Alphabet.size(); ++i)
        values[uint8_t(kBase64Alphabet[i])] = int8_t(i);
    return values;
}

} // namespace

Bytes toBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string toString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string hexEncode(const Bytes& bytes, LetterCase letters) {
    const char* digits = letters == LetterCase::lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

std::optional<Bytes> hexDecode(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = hexValue(text[i]), low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(uint8_t(high << 4 | low));
    }
    return out;
}

std::string base64Encode(const Bytes& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) chunk |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
        out.push_back(kBase64Alphabet[chunk >> 18 & 63]);
        out.push_back(kBase64Alphabet[chunk >> 12 & 63]);
        out.push_back(i + 1 < bytes.size() ? kBase64Alphabet[chunk >> 6 & 63] : '=');
        out.push_back(i + 2 < bytes.size() ? kBase64Alphabet[chunk & 63] : '=');
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    static constexpr auto values = base64Values();
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t chunk = 0;
        bool last = i + 4 == text.size();
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            if (c == '=' && last && j >= 4 - padding) {
                chunk <<= 6;
                continue;
            }
            int8_t v = values[uint8_t(c)];
            if (v < 0) return std::nullopt;
            chunk = chunk << 6 | uint32_t(v);
        }
        out.push_back(uint8_t(chunk >> 16));
        if (!last || padding < 2) out.push_back(uint8_t(chunk >> 8));
        if (!last || padding < 1) out.push_back(uint8_t(chunk));
    }
    return out;
}

} // namespace quorlinth
