#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace quorlinth {

// Stands in for ICE consent freshness: remembers when anything last arrived from the remote and
// says when a connected remote has been silent for longer than the time-out.
class RTCConsentWatch {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    explicit RTCConsentWatch(std::chrono::milliseconds timeout) : timeout(timeout) {}

    // Any thread (called per received packet).
    void noteReceived(TimePoint now) {
        lastHeard.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
    // Starts the clock when the connection first connects; before that silence means nothing.
    void noteConnected(TimePoint now);
    bool expired(TimePoint now) const;

private:
    std::chrono::milliseconds timeout;
    std::atomic<int64_t> lastHeard{0};
    std::atomic<bool> armed{false};
};

} // namespace quorlinth
