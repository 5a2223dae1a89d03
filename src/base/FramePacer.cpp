#include "base/FramePacer.h"

#include <algorithm>

namespace quorlinth {
namespace {

int64_t periodNs(int fps) {
    return 1'000'000'000 / fps;
}

} // namespace

int64_t FramePacer::allowanceNs(int fps) const {
    return slack == Slack::timerJitter ? kAllowanceNs : periodNs(fps) / 2;
}

std::optional<int64_t> FramePacer::earliestNs(int fps) const {
    if (!dueNs || fps <= 0) return std::nullopt;
    return *dueNs - allowanceNs(fps);
}

bool FramePacer::admit(int64_t nowNs, int fps) {
    if (fps <= 0) return false;
    if (auto earliest = earliestNs(fps); earliest && nowNs < *earliest) return false;
    int64_t period = periodNs(fps);
    // On schedule, the next frame is due a period after this one was; after a pause, no sooner
    // than half a period from now.
    dueNs = dueNs ? std::max(*dueNs + period, nowNs + period / 2) : nowNs + period;
    return true;
}

bool FramePacer::admit(int64_t nowNs, int fps, int64_t arrivedNs, int64_t sincePreviousNs) {
    if (!admit(nowNs, fps)) return false;
    int64_t period = periodNs(fps);
    if (nowNs - arrivedNs > period / 2 && sincePreviousNs >= period - kAllowanceNs)
        dueNs = arrivedNs + period;
    return true;
}

} // namespace quorlinth
