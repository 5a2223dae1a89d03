#include "Secrets.h"

#include "crypto/Random.h"
#include "crypto/Sha256.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlinth::service {

std::string newToken(std::string_view prefix) {
    std::string text = base64Encode(crypto::randomBytes(32));
    std::string token(prefix);
    for (char c : text) {
        if (c == '=') continue;
        token += c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return token;
}

std::string secretDigest(std::string_view secret) {
    return hexEncode(crypto::sha256(secret));
}

std::string keyedDigest(std::string_view key, std::string_view text) {
    Bytes mac(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), mac.data(), &length);
    mac.resize(length);
    return hexEncode(mac);
}

namespace {

constexpr size_t kKeyBytes = 32;

Result<std::string> readServerKey(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Error{"cannot read the server key " + file.string()};
    std::string key((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (key.size() < kKeyBytes)
        return Error{"the server key " + file.string() + " is shorter than " + std::to_string(kKeyBytes) +
                     " bytes"};
    return key;
}

} // namespace

Result<std::string> loadOrCreateServerKey(const std::filesystem::path& file) {
    if (std::filesystem::exists(file)) return readServerKey(file);
    // Written whole under a private name, then linked into place: nodes starting together on
    // one key file all end up with the key of whichever linked first, never a partial file.
    std::string draft = file.string() + ".XXXXXX";
    int fd = ::mkstemp(draft.data());
    if (fd < 0) return Error{"cannot create the server key " + file.string() + ": " + std::strerror(errno)};
    Bytes fresh = crypto::randomBytes(kKeyBytes);
    bool written =
        ::fchmod(fd, 0600) == 0 && ::write(fd, fresh.data(), fresh.size()) == ssize_t(fresh.size());
    written = ::fsync(fd) == 0 && written;
    ::close(fd);
    int linked = written ? ::link(draft.c_str(), file.c_str()) : -1;
    int linkError = errno;
    ::unlink(draft.c_str());
    if (!written) return Error{"cannot write the server key " + file.string()};
    if (linked != 0 && linkError == EEXIST) return readServerKey(file);
    if (linked != 0)
        return Error{"cannot create the server key " + file.string() + ": " + std::strerror(linkError)};
    return std::string(fresh.begin(), fresh.end());
}

std::string randomText(size_t count, std::string_view alphabet) {
    // Rejection sampling keeps every symbol equally likely.
    const unsigned limit = 256 - 256 % alphabet.size();
    std::string text;
    while (text.size() < count) {
        for (uint8_t byte : crypto::randomBytes(count)) {
            if (byte >= limit) continue;
            text += alphabet[byte % alphabet.size()];
            if (text.size() == count) break;
        }
    }
    return text;
}

std::string randomDigits(size_t count, bool leadingNonZero) {
    if (count == 0) return {};
    std::string digits = leadingNonZero ? randomText(1, "123456789") : randomText(1, "0123456789");
    return digits + randomText(count - 1, "0123456789");
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string hmacSha1Base64(std::string_view key, std::string_view message) {
    Bytes mac(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    HMAC(EVP_sha1(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), mac.data(), &length);
    mac.resize(length);
    return base64Encode(mac);
}

} // namespace quorlinth::service
