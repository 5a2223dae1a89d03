#pragma once

#include "base/Encoding.h"

namespace quorlinth::crypto {

// HMAC-SHA-256; returns the 32-byte tag. Any key length is accepted.
Bytes hmacSha256(const Bytes& key, const Bytes& data);

} // namespace quorlinth::crypto
