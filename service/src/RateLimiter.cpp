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

void RateLimiter::release(const std::string& key) {
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    if (found != events.end() && !found->second.empty()) found->second.pop_back();
}

int64_t RateLimiter::waitFor(const std::string& key, int64_t now) {
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    if (found == events.end()) return 0;
    auto& times = found->second;
    forgetOld(times, now);
    if (times.size() < limit) return 0;
    return times[times.size() - limit] + window - now;
}

size_t RateLimiter::count(const std::string& key, int64_t now) {
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    if (found == events.end()) return 0;
    forgetOld(found->second, now);
    return found->second.size();
}

int64_t RateLimiter::newest(const std::string& key) {
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    return found == events.end() || found->second.empty() ? 0 : found->second.back();
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
