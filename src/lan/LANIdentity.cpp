#include "lan/LANIdentity.h"

#include "crypto/Hmac.h"
#include "crypto/Random.h"
#include "crypto/Sha256.h"

namespace quorlinth {

crypto::P256SigningKey loadIdentity(KeyStore& keys) {
    if (auto stored = keys.read(kLANIdentityService, kLANIdentityAccount))
        if (auto key = crypto::P256SigningKey::fromRaw(*stored)) return *key;
    auto key = crypto::P256SigningKey::generate();
    (void)keys.remove(kLANIdentityService, kLANIdentityAccount);
    (void)keys.write(kLANIdentityService, kLANIdentityAccount, key.rawPrivate());
    return key;
}

std::string publicKeyText(const crypto::P256SigningKey& key) {
    return base64Encode(key.rawPublic());
}

std::string sign(const std::string& text, const crypto::P256SigningKey& key) {
    return base64Encode(key.sign(toBytes(text)));
}

bool verify(const std::string& keyText, const std::optional<std::string>& signature,
            const std::string& text) {
    if (!signature) return false;
    auto key = base64Decode(keyText);
    auto raw = base64Decode(*signature);
    if (!key || !raw || key->size() != crypto::kP256PublicKeySize ||
        raw->size() != crypto::kP256SignatureSize)
        return false;
    return crypto::p256Verify(*key, toBytes(text), *raw);
}

std::string passwordProof(const std::string& password, const std::string& hostNonce,
                          const std::string& controllerKey, const std::string& hostKey) {
    return base64Encode(crypto::hmacSha256(
        toBytes(password), toBytes("password|" + hostNonce + "|" + controllerKey + "|" + hostKey)));
}

std::string fingerprint(const std::string& keyText) {
    Bytes digest = crypto::sha256(keyText);
    std::string hex = hexEncode(Bytes(digest.begin(), digest.begin() + 6), LetterCase::upper);
    return hex.substr(0, 4) + "-" + hex.substr(4, 4) + "-" + hex.substr(8, 4);
}

std::string makeNonce() {
    return hexEncode(crypto::randomBytes(16));
}

} // namespace quorlinth
