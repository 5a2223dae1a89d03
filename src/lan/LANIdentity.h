#pragma once

#include "crypto/P256.h"
#include "store/KeyStore.h"

#include <optional>
#include <string>

namespace quorlinth {

// The key-store item holding this installation's LAN identity (32 raw scalar bytes).
inline constexpr const char* kLANIdentityService = "com.pelmarock.quorlinth.lan.identity";
inline constexpr const char* kLANIdentityAccount = "identity";

// The stored identity, or a new one stored in its place when the item is absent or not a valid
// key. Never fails: when storing fails, the new key still serves this run.
crypto::P256SigningKey loadIdentity(KeyStore& keys);

// Base64 of the 64-byte raw public key (X then Y): the "key" of the handshake.
std::string publicKeyText(const crypto::P256SigningKey& key);

// Base64 of the raw 64-byte ECDSA P-256/SHA-256 signature over the UTF-8 bytes of `text`.
std::string sign(const std::string& text, const crypto::P256SigningKey& key);

// False for an absent signature, undecodable base64, a malformed key or signature, or a
// signature that does not match; never throws.
bool verify(const std::string& keyText, const std::optional<std::string>& signature, const std::string& text);

// Base64 of HMAC-SHA-256 keyed with the password over "password|" + hostNonce + "|" +
// controllerKey + "|" + hostKey. The password itself never travels.
std::string passwordProof(const std::string& password, const std::string& hostNonce,
                          const std::string& controllerKey, const std::string& hostKey);

// The first 6 bytes of SHA-256 of the key text, as upper-case hex in groups of four joined by
// "-" (for example "0A1B-2C3D-4E5F").
std::string fingerprint(const std::string& keyText);

// 32 lower-case hex characters from 16 secure random bytes.
std::string makeNonce();

} // namespace quorlinth
