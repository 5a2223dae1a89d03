#pragma once

#include "Database.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quorlinth::service {

// At most `limit` events per key within a sliding window of `windowSeconds`. Kept in memory
// (a restart forgets the counts, which only ever lets a caller through earlier), or in a
// database that several nodes share, so that a limit holds across all of them: there the
// events are rows of `rate_events` under the limiter's name, counted in turn by every node.
class RateLimiter {
public:
    RateLimiter(size_t limit, int64_t windowSeconds) : limit(limit), window(windowSeconds) {}
    // In `database` when it is given; `name` tells this limiter's events from others'.
    RateLimiter(size_t limit, int64_t windowSeconds, Database* database, std::string name)
        : limit(limit), window(windowSeconds), database(database), name(std::move(name)) {}

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

    // Runs `work` so that no other node counts this limiter meanwhile; several limiters'
    // steps inside one such turn are one step together.
    void inTurn(const std::function<void()>& work);

private:
    void forgetOld(std::deque<int64_t>& times, int64_t now);
    void sweep(int64_t now);
    bool allowShared(const std::string& key, int64_t now);
    int64_t waitForShared(const std::string& key, int64_t now);

    std::mutex mutex;
    size_t limit;
    int64_t window;
    Database* database = nullptr;
    std::string name;
    int64_t lastSweep = 0;
    std::unordered_map<std::string, std::deque<int64_t>> events;
};

} // namespace quorlinth::service
