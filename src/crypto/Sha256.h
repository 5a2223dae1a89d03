#pragma once

#include "base/Encoding.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

struct evp_md_ctx_st;

namespace quorlinth::crypto {

inline constexpr size_t kSha256Size = 32;

Bytes sha256(const Bytes& data);
Bytes sha256(std::string_view data);

// Incremental SHA-256 for data that arrives in pieces (downloads, files).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const uint8_t* data, size_t size);
    void update(std::string_view data);
    void update(const Bytes& data);
    // Returns the 32-byte digest and starts over, so the object can hash again.
    Bytes finish();

private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context;
};

} // namespace quorlinth::crypto
