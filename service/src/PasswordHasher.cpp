#include "PasswordHasher.h"

#include "base/Encoding.h"
#include "crypto/Random.h"

#include <argon2.h>
#include <charconv>
#include <cstdio>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <optional>
#include <stdexcept>
#include <vector>

namespace quorlinth::service {

namespace {

constexpr std::string_view kArgonPrefix = "$argon2id$";
constexpr std::string_view kPbkdf2Scheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
// Bounds a stored cost so that a damaged row cannot stall a worker or exhaust memory.
constexpr uint32_t kMaxIterations = 10'000'000;
constexpr uint32_t kMaxMemoryKiB = 1024 * 1024;
constexpr uint32_t kMaxPasses = 64;
constexpr uint32_t kMaxLanes = 16;

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

bool verifyPbkdf2(std::string_view password, std::string_view stored) {
    auto parts = splitFields(stored);
    if (parts.size() != 4 || parts[0] != kPbkdf2Scheme) return false;
    uint32_t iterations = 0;
    auto [end, error] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), iterations);
    if (error != std::errc() || end != parts[1].data() + parts[1].size() || iterations < 1 ||
        iterations > kMaxIterations)
        return false;
    auto salt = base64Decode(parts[2]);
    auto expected = base64Decode(parts[3]);
    if (!salt || !expected || expected->empty()) return false;
    Bytes key(expected->size());
    PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt->data(), int(salt->size()), int(iterations),
                      EVP_sha256(), int(key.size()), key.data());
    return CRYPTO_memcmp(key.data(), expected->data(), key.size()) == 0;
}

// The cost an Argon2id hash names, if it is one within bounds.
std::optional<PasswordHasher::Cost> argonCostOf(std::string_view stored) {
    if (stored.substr(0, kArgonPrefix.size()) != kArgonPrefix) return std::nullopt;
    std::string text(stored);
    unsigned version = 0, memory = 0, passes = 0, lanes = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "$argon2id$v=%u$m=%u,t=%u,p=%u$%n", &version, &memory, &passes, &lanes,
                    &consumed) != 4 ||
        consumed == 0)
        return std::nullopt;
    if (version != ARGON2_VERSION_13 || memory > kMaxMemoryKiB || passes < 1 || passes > kMaxPasses ||
        lanes < 1 || lanes > kMaxLanes || memory < 8 * lanes)
        return std::nullopt;
    return PasswordHasher::Cost{memory, passes, lanes};
}

} // namespace

PasswordHasher::PasswordHasher(Cost cost) : cost(cost), decoy(hash(hexEncode(crypto::randomBytes(16)))) {}

std::string PasswordHasher::hash(std::string_view password) const {
    Bytes salt = crypto::randomBytes(kSaltBytes);
    std::string encoded(argon2_encodedlen(cost.passes, cost.memoryKiB, cost.lanes, uint32_t(salt.size()),
                                          kKeyBytes, Argon2_id),
                        '\0');
    int result =
        argon2id_hash_encoded(cost.passes, cost.memoryKiB, cost.lanes, password.data(), password.size(),
                              salt.data(), salt.size(), kKeyBytes, encoded.data(), encoded.size());
    if (result != ARGON2_OK) throw std::runtime_error(std::string("argon2: ") + argon2_error_message(result));
    encoded.resize(encoded.find('\0'));
    return encoded;
}

PasswordHasher::Check PasswordHasher::check(std::string_view password, std::string_view stored) const {
    if (auto storedCost = argonCostOf(stored)) {
        std::string text(stored);
        bool valid = argon2id_verify(text.c_str(), password.data(), password.size()) == ARGON2_OK;
        bool current = storedCost->memoryKiB == cost.memoryKiB && storedCost->passes == cost.passes &&
                       storedCost->lanes == cost.lanes;
        return {valid, valid && !current};
    }
    bool valid = verifyPbkdf2(password, stored);
    return {valid, valid};
}

void PasswordHasher::spendVerificationTime(std::string_view password) const {
    argon2id_verify(decoy.c_str(), password.data(), password.size());
}

} // namespace quorlinth::service
