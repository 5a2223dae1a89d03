#pragma once

#include "base/Encoding.h"
#include "base/Result.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace quorlinth::service {

// A bearer token: the prefix followed by 256 random bits in URL-safe base64 without padding.
std::string newToken(std::string_view prefix);

// How tokens, poll secrets and codes are kept at rest: lower-case hex SHA-256 of the text.
std::string secretDigest(std::string_view secret);

// Lower-case hex HMAC-SHA256 of the text under a server key: a short secret (an SMS code) kept
// this way cannot be recovered from a copy of the database by trying every value.
std::string keyedDigest(std::string_view key, std::string_view text);

// The server key in `file`, created with 32 random bytes (mode 0600) when the file is missing.
Result<std::string> loadOrCreateServerKey(const std::filesystem::path& file);

// `count` decimal digits, uniformly drawn; the first one is never zero when `leadingNonZero`.
std::string randomDigits(size_t count, bool leadingNonZero = false);

// Text drawn uniformly from `alphabet`.
std::string randomText(size_t count, std::string_view alphabet);

// Compares without leaking where the texts first differ.
bool constantTimeEqual(std::string_view a, std::string_view b);

// base64(HMAC-SHA1(key, message)): the TURN REST credential format.
std::string hmacSha1Base64(std::string_view key, std::string_view message);

} // namespace quorlinth::service
