#include "ServiceClock.h"

#include <chrono>

namespace quorlinth::service {

int64_t ServiceClock::now() const {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(since).count() + offset.load();
}

} // namespace quorlinth::service
