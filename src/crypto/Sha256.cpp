#include "crypto/Sha256.h"

#include <cstdlib>
#include <openssl/evp.h>

namespace quorlinth::crypto {

namespace {

// A failure here means the library is broken or out of memory; a wrong digest would be
// worse than stopping.
void require(bool succeeded) {
    if (!succeeded) std::abort();
}

} // namespace

Bytes sha256(const Bytes& data) {
    Sha256 hash;
    hash.update(data);
    return hash.finish();
}

Bytes sha256(std::string_view data) {
    Sha256 hash;
    hash.update(data);
    return hash.finish();
}

void Sha256::ContextDeleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context(EVP_MD_CTX_new()) {
    require(context != nullptr);
    require(EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1);
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const uint8_t* data, size_t size) {
    if (size == 0) return;
    require(EVP_DigestUpdate(context.get(), data, size) == 1);
}

void Sha256::update(std::string_view data) {
    update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void Sha256::update(const Bytes& data) {
    update(data.data(), data.size());
}

Bytes Sha256::finish() {
    Bytes digest(kSha256Size);
    unsigned int size = 0;
    require(EVP_DigestFinal_ex(context.get(), digest.data(), &size) == 1 && size == kSha256Size);
    require(EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1);
    return digest;
}

} // namespace quorlinth::crypto
