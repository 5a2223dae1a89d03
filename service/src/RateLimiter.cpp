#include "RateLimiter.h"

namespace quorlinth::service {

bool RateLimiter::allow(const std::string& key, int64_t now) {
    std::lock_guard lock(mutex);
    sweep(now);
    auto& times = events[key];
    forgetOld(times, now);
    if (times.size() >= limit) return false;
    times.push_back(now);
    return true;
}

bool RateLimiter::wouldAllow(const std::string& key, int64_t now) {
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    if (found == events.end()) return true;
    forgetOld(found->second, now);
    return found->second.size() < limit;
}

void RateLimiter::record(const std::string& key, int64_t now) {
    std::lock_guard lock(mutex);
    sweep(now);
    auto& times = events[key];
    forgetOld(times, now);
    times.push_back(now);
}

void RateLimiter::forgetOld(std::deque<int64_t>& times, int64_t now) {
    while (!times.empty() && times.front() <= now - window)
        times.pop_front();
}

// Drops idle keys now and then so that the table does not grow with every caller ever seen.
void RateLimiter::sweep(int64_t now) {
    if (now - lastSweep < window) return;
    lastSweep = now;
    for (auto it = events.begin(); it != events.end();) {
        forgetOld(it->second, now);
        it = it->second.empty() ? events.erase(it) : std::next(it);
    }
}

} // namespace quorlinth::service
