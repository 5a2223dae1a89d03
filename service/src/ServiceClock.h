#pragma once

#include <atomic>
#include <cstdint>

namespace quorlinth::service {

// Unix time in seconds for every expiry decision. Development mode can move it forward so
// that tests exercise expiries without waiting for them.
class ServiceClock {
public:
    int64_t now() const;
    void advance(int64_t seconds) { offset += seconds; }

private:
    std::atomic<int64_t> offset{0};
};

} // namespace quorlinth::service
