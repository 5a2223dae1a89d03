#include "crypto/Random.h"

#include <climits>
#include <cstdlib>
#include <openssl/rand.h>

namespace quorlinth::crypto {

Bytes randomBytes(size_t count) {
    Bytes bytes(count);
    size_t filled = 0;
    while (filled < count) {
        const size_t chunk = std::min<size_t>(count - filled, INT_MAX);
        if (RAND_bytes(bytes.data() + filled, static_cast<int>(chunk)) != 1) std::abort();
        filled += chunk;
    }
    return bytes;
}

} // namespace quorlinth::crypto
