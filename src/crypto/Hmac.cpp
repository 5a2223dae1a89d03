#include "crypto/Hmac.h"

#include "crypto/Sha256.h"

#include <cstdlib>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace quorlinth::crypto {

Bytes hmacSha256(const Bytes& key, const Bytes& data) {
    // OpenSSL treats a null key pointer as "keep the previous key", so an empty key needs a
    // real (if unused) address.
    static const uint8_t kNoKey = 0;
    const uint8_t* keyBytes = key.empty() ? &kNoKey : key.data();
    static const uint8_t kNoData = 0;
    const uint8_t* dataBytes = data.empty() ? &kNoData : data.data();
    Bytes tag(kSha256Size);
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()), dataBytes, data.size(), tag.data(),
              &size) ||
        size != kSha256Size) {
        std::abort();
    }
    return tag;
}

} // namespace quorlinth::crypto
