#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorlinth::service {

// Salted PBKDF2-HMAC-SHA256. A stored hash names its own iteration count, so the cost can
// rise later (or be lowered for development) without invalidating existing passwords.
class PasswordHasher {
public:
    static constexpr uint32_t kProductionIterations = 210000;
    static constexpr uint32_t kDevelopmentIterations = 2000;

    explicit PasswordHasher(uint32_t iterations = kProductionIterations);

    // "pbkdf2-sha256$<iterations>$<salt base64>$<key base64>"
    std::string hash(std::string_view password) const;
    // False for a wrong password and for any stored text that is not one of our hashes.
    bool verify(std::string_view password, std::string_view stored) const;
    // Spends the same time as a verification, for unknown accounts (no user-name probing).
    void spendVerificationTime(std::string_view password) const;

private:
    uint32_t iterations;
};

} // namespace quorlinth::service
