#include "rtc/RTCConsentWatch.h"

namespace quorlinth {

void RTCConsentWatch::noteConnected(TimePoint now) {
    if (armed.exchange(true)) return;
    noteReceived(now);
}

bool RTCConsentWatch::expired(TimePoint now) const {
    if (!armed.load()) return false;
    TimePoint heard{TimePoint::duration(lastHeard.load(std::memory_order_relaxed))};
    return now - heard > timeout;
}

} // namespace quorlinth
