#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quorlinth::service {

// At most `limit` events per key within a sliding window of `windowSeconds`. Kept in memory:
// a restart forgets the counts, which only ever lets a caller through earlier.
class RateLimiter {
public:
    RateLimiter(size_t limit, int64_t windowSeconds) : limit(limit), window(windowSeconds) {}

    // Records the event and tells whether it is within the limit.
    bool allow(const std::string& key, int64_t now);
    // Tells whether another event would be allowed, without recording one.
    bool wouldAllow(const std::string& key, int64_t now);
    void record(const std::string& key, int64_t now);

private:
    void forgetOld(std::deque<int64_t>& times, int64_t now);
    void sweep(int64_t now);

    std::mutex mutex;
    size_t limit;
    int64_t window;
    int64_t lastSweep = 0;
    std::unordered_map<std::string, std::deque<int64_t>> events;
};

} // namespace quorlinth::service
