#include "base/FramePacer.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

// Frames admitted in ten seconds of a tick at `ticksPerSecond`, every other tick late by
// `jitterNs`.
int framesInTenSeconds(int fps, int ticksPerSecond, int64_t jitterNs = 0) {
    FramePacer pacer;
    int admitted = 0;
    for (int n = 0; n < 10 * ticksPerSecond; ++n)
        admitted += pacer.admit(n * 1'000'000'000LL / ticksPerSecond + (n % 2 ? jitterNs : 0), fps);
    return admitted;
}

} // namespace

TEST(FramePacer, KeepsTheNominalRateFromAFasterOrJitteryTick) {
    struct Case {
        int fps;
        int ticksPerSecond;
        int64_t jitterNs;
        int expected;
    };
    const Case cases[] = {
        {30, 30, 0, 300}, {30, 30, 3'000'000, 300}, // the host's 30 Hz pulse; jitter within the allowance
        {20, 30, 0, 200}, {20, 30, 3'000'000, 200}, // a rate that does not divide the tick
        {15, 30, 0, 150}, {60, 30, 0, 300},         // never more than the tick gives
        {30, 60, 0, 300},                           // a 60 Hz source at 30 fps
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fps) + " fps at " + std::to_string(c.ticksPerSecond) + " Hz, jitter " +
                     std::to_string(c.jitterNs) + " ns");
        EXPECT_EQ(framesInTenSeconds(c.fps, c.ticksPerSecond, c.jitterNs), c.expected);
    }
}

TEST(FramePacer, APauseGivesNoBurstAfterwards) {
    FramePacer pacer;
    EXPECT_TRUE(pacer.admit(0, 30));
    EXPECT_TRUE(pacer.admit(2'000'000'000, 30)); // the first frame after two idle seconds
    EXPECT_FALSE(pacer.admit(2'010'000'000, 30)) << "the idle time is not owed as extra frames";
    EXPECT_TRUE(pacer.admit(2'033'333'333, 30));
}

TEST(FramePacer, NoRateAdmitsNothing) {
    FramePacer pacer;
    EXPECT_FALSE(pacer.admit(0, 0));
}
