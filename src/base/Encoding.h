#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlinth {

using Bytes = std::vector<uint8_t>;

enum class LetterCase { lower, upper };

Bytes toBytes(std::string_view text);
std::string toString(const Bytes& bytes);

std::string hexEncode(const Bytes& bytes, LetterCase letters = LetterCase::lower);
// Accepts either case; nullopt for odd length or a non-hex character.
std::optional<Bytes> hexDecode(std::string_view text);

// Standard alphabet with padding and no line breaks.
std::string base64Encode(const Bytes& bytes);
// Strict: nullopt for a wrong length, misplaced padding or a character outside the alphabet.
std::optional<Bytes> base64Decode(std::string_view text);

} // namespace quorlinth
