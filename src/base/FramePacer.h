#pragma once

#include <cstdint>
#include <optional>

namespace quorlinth {

// Lets frames through at a nominal rate from a clock that ticks faster or jitters. A frame is
// due once its period has passed since the previous frame was due (less an allowance), so a
// rate that does not divide the tick still averages out: a 30 Hz pulse gives 20 frames a second
// at 20 fps, where "a period since the last frame" would give 15. A frame late by less than
// half a period does not push the following ones back, and no burst makes up for a pause.
class FramePacer {
public:
    static constexpr int64_t kAllowanceNs = 4'000'000;

    // How early a frame may be: a timer's jitter where frames are made, or half a period further
    // down a pipeline whose source already paces them (hand-offs between threads jitter by more
    // than a timer, and a stage that deferred such a frame would hold every later one back).
    enum class Slack { timerJitter, halfPeriod };

    explicit FramePacer(Slack slack = Slack::timerJitter) : slack(slack) {}

    // Whether a frame at `nowNs` goes out at `fps`; counts it when it does.
    bool admit(int64_t nowNs, int fps);
    // The same for a frame that arrived at `arrivedNs`, `sincePreviousNs` after the frame before
    // it, and may have been held for its turn. One held over half a period from a source at
    // about this rate is late against the schedule, not early: the schedule moves to the frame's
    // arrival. Otherwise the next frame, arriving just after this one went, would wait a whole
    // period, and so would every frame after it. A faster source keeps the schedule.
    bool admit(int64_t nowNs, int fps, int64_t arrivedNs, int64_t sincePreviousNs);
    // The earliest time the next frame goes out at `fps`; nullopt when it may go at any time.
    std::optional<int64_t> earliestNs(int fps) const;

private:
    int64_t allowanceNs(int fps) const;

    Slack slack;
    std::optional<int64_t> dueNs;
};

} // namespace quorlinth
