#include "rtc/RTCKeyFrameRecovery.h"

#include <algorithm>

namespace quorlinth {

void RTCKeyFrameRecovery::noteArrived(int64_t nowNs) {
    int64_t unset = 0;
    firstArrivedNs.compare_exchange_strong(unset, nowNs, std::memory_order_relaxed);
    lastArrivedNs.store(nowNs, std::memory_order_relaxed);
}

bool RTCKeyFrameRecovery::requestDue(int64_t nowNs) {
    int64_t arrived = lastArrivedNs.load(std::memory_order_relaxed);
    if (arrived == 0 || nowNs - arrived >= kFrozenNs) return false; // nothing comes: nothing to decode
    // Before the first picture the wait counts from the first packet.
    int64_t shown = std::max(lastDecodedNs.load(std::memory_order_relaxed),
                             firstArrivedNs.load(std::memory_order_relaxed));
    if (nowNs - shown < kFrozenNs) return false;
    if (lastRequestNs != 0 && nowNs - lastRequestNs < kKeyFrameSpacingNs) return false;
    lastRequestNs = nowNs;
    return true;
}

} // namespace quorlinth
