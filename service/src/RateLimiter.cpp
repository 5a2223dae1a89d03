#include "RateLimiter.h"

#include <algorithm>
#include <cstdint>

namespace quorlinth::service {

bool RateLimiter::allow(const std::string& key, int64_t now) {
    if (database) return allowShared(key, now);
    std::lock_guard lock(mutex);
    sweep(now);
    auto& times = events[key];
    forgetOld(times, now);
    if (times.size() >= limit) return false;
    times.push_back(now);
    return true;
}

void RateLimiter::release(const std::string& key) {
    if (database) {
        database->execute("DELETE FROM rate_events WHERE id = (SELECT MAX(id) FROM rate_events WHERE "
                          "limiter = ? AND subject = ?)",
                          {name, key});
        return;
    }
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    if (found != events.end() && !found->second.empty()) found->second.pop_back();
}

int64_t RateLimiter::waitFor(const std::string& key, int64_t now) {
    if (database) return waitForShared(key, now);
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    if (found == events.end()) return 0;
    auto& times = found->second;
    forgetOld(times, now);
    if (times.size() < limit) return 0;
    return times[times.size() - limit] + window - now;
}

size_t RateLimiter::count(const std::string& key, int64_t now) {
    if (database) {
        auto row = database->queryOne(
            "SELECT COUNT(*) FROM rate_events WHERE limiter = ? AND subject = ? AND at > ?",
            {name, key, now - window});
        return row ? size_t(row->integer(0)) : 0;
    }
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    if (found == events.end()) return 0;
    forgetOld(found->second, now);
    return found->second.size();
}

int64_t RateLimiter::newest(const std::string& key) {
    if (database) {
        auto row = database->queryOne("SELECT MAX(at) FROM rate_events WHERE limiter = ? AND subject = ?",
                                      {name, key});
        return row ? row->integer(0) : 0;
    }
    std::lock_guard lock(mutex);
    auto found = events.find(key);
    return found == events.end() || found->second.empty() ? 0 : found->second.back();
}

void RateLimiter::inTurn(const std::function<void()>& work) {
    if (database)
        database->exclusively("rate:" + name, work);
    else
        work();
}

// Expired events stay until maintenance deletes them; counting skips them.
bool RateLimiter::allowShared(const std::string& key, int64_t now) {
    bool allowed = false;
    inTurn([&] {
        if (count(key, now) >= limit) return;
        database->execute("INSERT INTO rate_events (limiter, subject, at, expires_at) VALUES (?, ?, ?, ?)",
                          {name, key, now, now + window});
        allowed = true;
    });
    return allowed;
}

int64_t RateLimiter::waitForShared(const std::string& key, int64_t now) {
    if (limit == 0) return 0;
    // The event whose expiry frees a place: the limit-th newest of the window.
    auto row = database->queryOne("SELECT at FROM rate_events WHERE limiter = ? AND subject = ? AND at > ? "
                                  "ORDER BY at DESC, id DESC LIMIT 1 OFFSET ?",
                                  {name, key, now - window, int64_t(std::min<size_t>(limit - 1, INT64_MAX))});
    return row ? row->integer(0) + window - now : 0;
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
