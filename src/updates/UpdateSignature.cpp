#include "updates/UpdateSignature.h"

#include "crypto/P256.h"
#include "crypto/Sha256.h"

#ifndef QUORLINTH_RELEASE_PUBLIC_KEY
#define QUORLINTH_RELEASE_PUBLIC_KEY ""
#endif

namespace quorlinth {

Bytes builtInReleaseKey() {
    auto key = hexDecode(QUORLINTH_RELEASE_PUBLIC_KEY);
    if (!key || key->size() != crypto::kP256PublicKeySize) return {};
    return *key;
}

bool verifyReleaseSignature(const Bytes& publicKey, const Bytes& digest, std::string_view signatureBase64) {
    if (publicKey.size() != crypto::kP256PublicKeySize || digest.size() != crypto::kSha256Size) return false;
    auto signature = base64Decode(signatureBase64);
    return signature && crypto::p256Verify(publicKey, digest, *signature);
}

} // namespace quorlinth
