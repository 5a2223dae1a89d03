#pragma once

#include <cstdint>
#include <optional>

namespace quorlinth {

// Lets frames through at a nominal rate from a clock that ticks faster or jitters. A frame is
// due once its period has passed since the previous frame was due (less a 4 ms allowance for
// timer jitter), so a rate that does not divide the tick still averages out: a 30 Hz pulse
// gives 20 frames a second at 20 fps, where "a period since the last frame" would give 15.
// A frame late by less than half a period does not push the following ones back, and no burst
// makes up for a pause.
class FramePacer {
public:
    static constexpr int64_t kAllowanceNs = 4'000'000;

    // Whether a frame at `nowNs` goes out at `fps`; counts it when it does.
    bool admit(int64_t nowNs, int fps);

private:
    std::optional<int64_t> dueNs;
};

} // namespace quorlinth
