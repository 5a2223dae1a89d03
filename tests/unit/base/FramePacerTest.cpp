#include "base/FramePacer.h"

#include <gtest/gtest.h>
#include <optional>
#include <vector>

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

// A stage downstream of a paced source, fed as the share host feeds its encoder: a frame goes
// when the pacer lets it; one that may not go yet is held, and a newer frame replaces it.
// Returns when each frame that went had arrived and when it went.
struct Sent {
    int64_t arrivedNs;
    int64_t sentNs;
};
std::vector<Sent> feedHeldFrames(const std::vector<int64_t>& arrivals, int fps) {
    FramePacer pacer(FramePacer::Slack::halfPeriod);
    std::vector<Sent> sent;
    std::optional<int64_t> held;
    int64_t heldSincePrevious = 0;
    auto send = [&](int64_t arrived, int64_t sincePrevious, int64_t at) {
        EXPECT_TRUE(pacer.admit(at, fps, arrived, sincePrevious));
        sent.push_back({arrived, at});
    };
    for (size_t n = 0; n < arrivals.size(); ++n) {
        int64_t arrived = arrivals[n], sincePrevious = n ? arrived - arrivals[n - 1] : 0;
        if (auto due = pacer.earliestNs(fps); held && *due <= arrived) send(*held, heldSincePrevious, *due);
        held.reset(); // sent, or replaced by the newer frame
        auto earliest = pacer.earliestNs(fps);
        if (!earliest || *earliest <= arrived) {
            send(arrived, sincePrevious, arrived);
        } else {
            held = arrived;
            heldSincePrevious = sincePrevious;
        }
    }
    return sent;
}

// Arrivals every `intervalNs` for ten seconds; after the tenth, one more `extraAfterNs` later.
std::vector<int64_t> source(int64_t intervalNs, std::optional<int64_t> extraAfterNs = std::nullopt) {
    std::vector<int64_t> arrivals;
    for (int64_t at = 0; at < 10'000'000'000; at += intervalNs) {
        arrivals.push_back(at);
        if (extraAfterNs && arrivals.size() == 10) arrivals.push_back(at + *extraAfterNs);
    }
    return arrivals;
}

} // namespace

// A source at the stage's rate whose frames once came in a pair (a hand-off that delivered two
// at once): the second waits its turn, and the frames after it go when they come instead of each
// waiting the period the held one took. A faster source is still held to the rate.
TEST(FramePacer, AHeldFrameDoesNotHoldTheFramesAfterIt) {
    struct Case {
        const char* name;
        std::vector<int64_t> arrivals;
        int64_t longestSettledWaitNs; // from the 20th frame sent on
        size_t mostSent;
    };
    const Case cases[] = {
        {"30 Hz, one pair", source(33'333'333, 1'400'000), 1'000'000, 302},
        {"30 Hz, a pair late in the period", source(33'333'333, 20'000'000), 1'000'000, 302},
        {"60 Hz", source(16'666'667), 16'666'667, 301},
        {"45 Hz", source(22'222'222), 22'222'222, 301},
        {"25 Hz, one pair", source(40'000'000, 1'400'000), 1'000'000, 252},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sent = feedHeldFrames(c.arrivals, 30);
        EXPECT_LE(sent.size(), c.mostSent);
        int64_t longest = 0;
        for (size_t n = 20; n < sent.size(); ++n)
            longest = std::max(longest, sent[n].sentNs - sent[n].arrivedNs);
        EXPECT_LE(longest, c.longestSettledWaitNs);
    }
}

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
