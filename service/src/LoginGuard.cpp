#include "LoginGuard.h"

#include "ApiTypes.h"

#include <algorithm>
#include <limits>

namespace quorlinth::service {

namespace {

constexpr int64_t kFailureWindow = 15 * 60;
constexpr const char* kEveryone = "*";

std::string pairKey(const LoginGuard::Attempt& attempt) {
    return attempt.account + "|" + attempt.address;
}

} // namespace

LoginGuard::LoginGuard(const ServiceSettings& settings, Database* shared)
    : settings(settings), shared(shared),
      attemptsPerAddress(size_t(settings.loginAttemptsPerAddress), 60, shared, "login_attempts_per_address"),
      failuresPerAccountAddress(size_t(settings.loginFailuresPerAccountAddress), kFailureWindow, shared,
                                "login_failures_per_account_address"),
      failuresPerAccount(std::numeric_limits<size_t>::max(), kFailureWindow, shared,
                         "login_failures_per_account"),
      failuresPerAddress(size_t(settings.loginFailuresPerAddress), kFailureWindow, shared,
                         "login_failures_per_address"),
      failuresGlobal(size_t(settings.loginFailuresGlobal), 60, shared, "login_failures_global") {}

void LoginGuard::inTurn(const std::function<void()>& work) {
    if (shared) return shared->exclusively("login", work);
    std::lock_guard lock(mutex);
    work();
}

// Past the account's free failures each further one doubles the pause before the next
// attempt (1, 2, 4… seconds), up to the cap.
int64_t LoginGuard::accountDelay(const std::string& account, int64_t now) {
    size_t failures = failuresPerAccount.count(account, now);
    if (failures < size_t(settings.loginFailuresPerAccount)) return 0;
    size_t excess = std::min<size_t>(failures - size_t(settings.loginFailuresPerAccount), 30);
    int64_t delay = std::min<int64_t>(int64_t(1) << excess, settings.loginDelayCap);
    return std::max<int64_t>(0, failuresPerAccount.newest(account) + delay - now);
}

void LoginGuard::reserve(const Attempt& attempt, int64_t now) {
    inTurn([&] {
        std::string pair = pairKey(attempt);
        int64_t wait = std::max(
            {accountDelay(attempt.account, now), failuresPerAccountAddress.waitFor(pair, now),
             failuresPerAddress.waitFor(attempt.address, now), failuresGlobal.waitFor(kEveryone, now)});
        if (wait > 0) failRateLimited(wait);
        if (!attemptsPerAddress.allow(attempt.address, now))
            failRateLimited(attemptsPerAddress.waitFor(attempt.address, now));
        failuresPerAccountAddress.allow(pair, now);
        failuresPerAccount.allow(attempt.account, now);
        failuresPerAddress.allow(attempt.address, now);
        failuresGlobal.allow(kEveryone, now);
    });
}

void LoginGuard::succeeded(const Attempt& attempt) {
    inTurn([&] {
        failuresPerAccountAddress.release(pairKey(attempt));
        failuresPerAccount.release(attempt.account);
        failuresPerAddress.release(attempt.address);
        failuresGlobal.release(kEveryone);
    });
}

} // namespace quorlinth::service
