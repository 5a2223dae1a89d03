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

    // Records the event and tells whether it is within the limit (check and count are one
    // step, so concurrent callers cannot both take the last place).
    bool allow(const std::string& key, int64_t now);
    // Gives back the newest event of the key: a reserved attempt that turned out fine.
    void release(const std::string& key);
    // Seconds until the key has a free place again (0 when it has one now).
    int64_t waitFor(const std::string& key, int64_t now);
    // Events of the key within the window, and the time of the newest one (0 without any).
    size_t count(const std::string& key, int64_t now);
    int64_t newest(const std::string& key);

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
