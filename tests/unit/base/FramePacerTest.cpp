#include "base/FramePacer.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

// Frames admitted in ten seconds of a tick at `ticksPerSecond`, every other tick late by
// `jitterNs` (early when negative).
int framesInTenSeconds(int fps, int ticksPerSecond, int64_t jitterNs = 0,
                       FramePacer::Slack slack = FramePacer::Slack::timerJitter) {
    FramePacer pacer(slack);
    int admitted = 0;
    for (int n = 0; n < 10 * ticksPerSecond; ++n)
        admitted += pacer.admit(n * 1'000'000'000LL / ticksPerSecond + (n % 2 ? jitterNs : 0), fps);
    return admitted;
}

} // namespace

TEST(FramePacer, KeepsTheNominalRateFromAFasterOrJitteryTick) {
    using enum FramePacer::Slack;
    struct Case {
        int fps;
        int ticksPerSecond;
        int64_t jitterNs;
        FramePacer::Slack slack;
        int expected;
    };
    const Case cases[] = {
        {30, 30, 0, timerJitter, 300},         // the host's 30 Hz pulse
        {30, 30, 3'000'000, timerJitter, 300}, // jitter within the allowance
        {20, 30, 0, timerJitter, 200},
        {20, 30, 3'000'000, timerJitter, 200}, // a rate that does not divide the tick
        {15, 30, 0, timerJitter, 150},
        {60, 30, 0, timerJitter, 300}, // never more than the tick gives
        {30, 60, 0, timerJitter, 300}, // a 60 Hz source at 30 fps
        // Further down a paced pipeline: a hand-off early by a third of a period loses nothing,
        // and a faster source is still held to the rate (the half-period head start gives one
        // frame more in the ten seconds, not a higher rate).
        {30, 30, -11'000'000, halfPeriod, 300},
        {30, 60, 0, halfPeriod, 301},
        {30, 120, 0, halfPeriod, 301},
        {15, 30, 0, halfPeriod, 151},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fps) + " fps at " + std::to_string(c.ticksPerSecond) + " Hz, jitter " +
                     std::to_string(c.jitterNs) + " ns, slack " + std::to_string(int(c.slack)));
        EXPECT_EQ(framesInTenSeconds(c.fps, c.ticksPerSecond, c.jitterNs, c.slack), c.expected);
    }
}

TEST(FramePacer, APauseGivesNoBurstAfterwards) {
    FramePacer pacer;
    EXPECT_TRUE(pacer.admit(0, 30));
    EXPECT_TRUE(pacer.admit(2'000'000'000, 30)); // the first frame after two idle seconds
    EXPECT_FALSE(pacer.admit(2'010'000'000, 30)) << "the idle time is not owed as extra frames";
    EXPECT_TRUE(pacer.admit(2'033'333'333, 30));
}

TEST(FramePacer, TellsWhenTheNextFrameMayGo) {
    FramePacer source, downstream(FramePacer::Slack::halfPeriod);
    EXPECT_FALSE(source.earliestNs(30)) << "the first frame goes at once";
    source.admit(0, 30);
    downstream.admit(0, 30);
    EXPECT_EQ(source.earliestNs(30), 33'333'333 - FramePacer::kAllowanceNs);
    EXPECT_EQ(downstream.earliestNs(30), 33'333'333 - 16'666'666);
}

TEST(FramePacer, NoRateAdmitsNothing) {
    FramePacer pacer;
    EXPECT_FALSE(pacer.admit(0, 0));
}
