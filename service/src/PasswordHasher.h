#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorlinth::service {

// Argon2id (libargon2) in its standard encoded form, "$argon2id$v=19$m=KIB,t=PASSES,p=LANES$SALT$KEY",
// which names its own cost. Hashes of the earlier scheme, "pbkdf2-sha256$ITERATIONS$SALT$KEY",
// and hashes of another cost still verify, and ask to be replaced by a current one.
class PasswordHasher {
public:
    struct Cost {
        uint32_t memoryKiB;
        uint32_t passes;
        uint32_t lanes;
    };
    static constexpr Cost kProductionCost{19 * 1024, 2, 1};
    static constexpr Cost kDevelopmentCost{1024, 1, 1};

    explicit PasswordHasher(Cost cost = kProductionCost);

    std::string hash(std::string_view password) const;

    struct Check {
        bool valid = false;
        bool needsRehash = false; // right, but not stored as this hasher would store it
    };
    // Invalid for a wrong password and for any stored text that is not one of our hashes.
    Check check(std::string_view password, std::string_view stored) const;
    bool verify(std::string_view password, std::string_view stored) const {
        return check(password, stored).valid;
    }
    // Costs what checking a current hash costs, for names that are no account (no user-name
    // probing by timing).
    void spendVerificationTime(std::string_view password) const;

private:
    Cost cost;
    std::string decoy; // a current hash of nothing in particular
};

} // namespace quorlinth::service
