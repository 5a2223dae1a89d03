#pragma once

#include "RateLimiter.h"
#include "ServiceSettings.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace quorlinth::service {

// Limits password sign-in attempts. Each attempt is reserved as a failure before the
// password is verified and given back when it was right, so concurrent guesses cannot
// slip past a limit. Failures count per account (its user name and phone number alike):
//   - per account and client address: a hard limit, which only that address runs into;
//   - per account from anywhere: growing delays between attempts, never a lockout, so that
//     a stranger cannot keep the owner out for long;
//   - per client address across accounts, and across everyone: against spraying.
// Attempts of any outcome are also limited per client address.
class LoginGuard {
public:
    // Counts in `shared` when it is given, so that the limits hold across nodes.
    LoginGuard(const ServiceSettings& settings, Database* shared);

    struct Attempt {
        std::string account; // "id:42", or "name:…" for a name that is no account
        std::string address;
    };
    // Reserves the attempt, or throws 429 "rate_limited" with the seconds to wait.
    void reserve(const Attempt& attempt, int64_t now);
    // The password was right: the reservation is given back.
    void succeeded(const Attempt& attempt);

private:
    int64_t accountDelay(const std::string& account, int64_t now);

    // Reserve and give back over all counters as one step, on this node or on all.
    void inTurn(const std::function<void()>& work);

    const ServiceSettings& settings;
    Database* shared;
    std::mutex mutex;
    RateLimiter attemptsPerAddress;
    RateLimiter failuresPerAccountAddress;
    RateLimiter failuresPerAccount;
    RateLimiter failuresPerAddress;
    RateLimiter failuresGlobal;
};

} // namespace quorlinth::service
