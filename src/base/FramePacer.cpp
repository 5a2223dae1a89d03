#include "base/FramePacer.h"

#include <algorithm>

namespace quorlinth {

bool FramePacer::admit(int64_t nowNs, int fps) {
    if (fps <= 0) return false;
    if (dueNs && nowNs < *dueNs - kAllowanceNs) return false;
    int64_t period = 1'000'000'000 / fps;
    // On schedule, the next frame is due a period after this one was; after a pause, no sooner
    // than half a period from now.
    dueNs = dueNs ? std::max(*dueNs + period, nowNs + period / 2) : nowNs + period;
    return true;
}

} // namespace quorlinth
