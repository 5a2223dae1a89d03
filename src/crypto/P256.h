#pragma once

#include "base/Encoding.h"

#include <cstddef>
#include <memory>
#include <optional>

struct evp_pkey_st;

namespace quorlinth::crypto {

inline constexpr size_t kP256PrivateKeySize = 32; // big-endian scalar
inline constexpr size_t kP256PublicKeySize = 64;  // X || Y, no 0x04 prefix
inline constexpr size_t kP256SignatureSize = 64;  // r || s, big-endian, 32 bytes each

// A P-256 ECDSA private key with raw encodings. Copies share the same immutable key.
class P256SigningKey {
public:
    static P256SigningKey generate();
    // nullopt unless `scalar32` is 32 bytes holding a scalar in [1, n-1].
    static std::optional<P256SigningKey> fromRaw(const Bytes& scalar32);

    Bytes rawPrivate() const;
    Bytes rawPublic() const;
    // ECDSA over SHA-256 of `message`; 64 bytes r || s.
    Bytes sign(const Bytes& message) const;

private:
    explicit P256SigningKey(std::shared_ptr<evp_pkey_st> key) : key(std::move(key)) {}
    std::shared_ptr<evp_pkey_st> key;
};

// Verifies a 64-byte r || s signature over SHA-256 of `message` with a 64-byte X || Y public
// key. Any malformed input (lengths, point off the curve, r or s out of range) gives false.
bool p256Verify(const Bytes& rawPublic64, const Bytes& message, const Bytes& signature64);

} // namespace quorlinth::crypto
