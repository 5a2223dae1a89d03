#pragma once

#include "base/Encoding.h"

#include <string_view>

namespace quorlinth {

// The P-256 public key (64 raw bytes, X || Y) that release archives must be signed with, as
// this build was given it (CMake option QUORLINTH_RELEASE_PUBLIC_KEY); empty when the build
// has none, and then no update is ever installed.
Bytes builtInReleaseKey();

// Whether `signatureBase64` holds a 64-byte P-256 signature (r || s) by `publicKey` over the
// archive's 32-byte SHA-256 `digest`. Anything malformed is simply not a valid signature.
bool verifyReleaseSignature(const Bytes& publicKey, const Bytes& digest, std::string_view signatureBase64);

} // namespace quorlinth
