#include "PasswordHasher.h"

#include "crypto/Random.h"

#include <charconv>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <vector>

namespace quorlinth::service {

namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
// Bounds a stored cost so that a damaged row cannot stall a worker for minutes.
constexpr uint32_t kMaxIterations = 10'000'000;

Bytes derive(std::string_view password, const Bytes& salt, uint32_t iterations, size_t length) {
    Bytes key(length);
    PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt.data(), int(salt.size()), int(iterations),
                      EVP_sha256(), int(length), key.data());
    return key;
}

std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find('$', start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

} // namespace

PasswordHasher::PasswordHasher(uint32_t iterations) : iterations(iterations < 1 ? 1 : iterations) {}

std::string PasswordHasher::hash(std::string_view password) const {
    Bytes salt = crypto::randomBytes(kSaltBytes);
    Bytes key = derive(password, salt, iterations, kKeyBytes);
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + base64Encode(salt) + "$" +
           base64Encode(key);
}

bool PasswordHasher::verify(std::string_view password, std::string_view stored) const {
    auto parts = splitFields(stored);
    if (parts.size() != 4 || parts[0] != kScheme) return false;
    uint32_t storedIterations = 0;
    auto [end, error] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), storedIterations);
    if (error != std::errc() || end != parts[1].data() + parts[1].size() || storedIterations < 1 ||
        storedIterations > kMaxIterations)
        return false;
    auto salt = base64Decode(parts[2]);
    auto expected = base64Decode(parts[3]);
    if (!salt || !expected || expected->empty()) return false;
    Bytes key = derive(password, *salt, storedIterations, expected->size());
    return CRYPTO_memcmp(key.data(), expected->data(), key.size()) == 0;
}

void PasswordHasher::spendVerificationTime(std::string_view password) const {
    derive(password, Bytes(kSaltBytes), iterations, kKeyBytes);
}

} // namespace quorlinth::service
