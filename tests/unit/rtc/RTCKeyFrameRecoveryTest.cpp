#include "rtc/RTCKeyFrameRecovery.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

constexpr int64_t kMs = 1'000'000;

} // namespace

TEST(RTCKeyFrameRecovery, AsksAgainOnlyWhilePicturesArriveAndNoneIsDecoded) {
    struct Case {
        const char* name;
        int64_t firstArrivedMs, lastArrivedMs, lastDecodedMs, nowMs;
        bool due;
    };
    const Case cases[] = {
        {"nothing arrived yet", 0, 0, 0, 1000, false},
        {"decoding as they arrive", 100, 990, 980, 1000, false},
        {"a short stall", 100, 990, 700, 1000, false},
        {"arriving, nothing decoded for 400 ms", 100, 990, 600, 1000, true},
        {"the first picture not decoded 400 ms after the first packet", 600, 990, 0, 1000, true},
        {"the first packet only just came", 700, 990, 0, 1000, false},
        {"nothing arrives any more (the sender went quiet)", 100, 500, 400, 1000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RTCKeyFrameRecovery recovery;
        if (c.firstArrivedMs) recovery.noteArrived(c.firstArrivedMs * kMs);
        if (c.lastArrivedMs) recovery.noteArrived(c.lastArrivedMs * kMs);
        if (c.lastDecodedMs) recovery.noteDecoded(c.lastDecodedMs * kMs);
        EXPECT_EQ(recovery.requestDue(c.nowMs * kMs), c.due);
    }
}

TEST(RTCKeyFrameRecovery, RepeatsNoMoreOftenThanKeyFramesAreServedAndStopsOnceOneIsDecoded) {
    RTCKeyFrameRecovery recovery;
    recovery.noteArrived(1); // the first packet, just after the clock's start
    recovery.noteDecoded(100 * kMs);
    int64_t requests = 0;
    for (int64_t at = 100; at <= 2100; at += 50) {
        recovery.noteArrived(at * kMs);
        requests += recovery.requestDue(at * kMs);
    }
    // Frozen from 500 ms: requests at 500, 1000, 1500 and 2000.
    EXPECT_EQ(requests, 4);
    recovery.noteDecoded(2100 * kMs);
    recovery.noteArrived(2150 * kMs);
    EXPECT_FALSE(recovery.requestDue(2150 * kMs));
}
