#pragma once

#include "base/Json.h"

#include <deque>
#include <mutex>
#include <string>

namespace quorlinth::service {

// Where SMS codes go in development mode instead of a carrier: kept in memory (the newest
// 100) and readable at GET /v1/dev/outbox. Nothing is kept unless development mode is on.
class DevOutbox {
public:
    explicit DevOutbox(bool enabled) : enabled(enabled) {}

    bool isEnabled() const { return enabled; }
    void deliver(const std::string& phone, const std::string& text, int64_t at);
    Json messages();

private:
    const bool enabled;
    std::mutex mutex;
    std::deque<Json> entries;
};

} // namespace quorlinth::service
