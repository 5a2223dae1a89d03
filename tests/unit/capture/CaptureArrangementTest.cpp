#include "capture/CaptureArrangement.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(CaptureArrangement, FollowsTheTableFirstMatchWins) {
    struct Case {
        const char* name;
        ArrangementInputs in;
        bool stays;
    };
    auto with = [](auto change) {
        ArrangementInputs in;
        in.activeRealDisplays = 1;
        change(in);
        return in;
    };
    const Case cases[] = {
        {"S, capturable, no virtual", with([](auto& i) { i.systemSharing = i.capturableDisplays = true; }),
         true},
        {"S, capturable, virtual",
         with([](auto& i) { i.systemSharing = i.capturableDisplays = i.virtualDisplay = true; }), false},
        {"S, nothing capturable, virtual", with([](auto& i) { i.systemSharing = i.virtualDisplay = true; }),
         true},
        {"S, nothing capturable, no virtual", with([](auto& i) { i.systemSharing = true; }), false},
        {"S wins over mirroring",
         with([](auto& i) { i.systemSharing = i.capturableDisplays = i.mirroring = true; }), true},
        {"mirroring, fit", with([](auto& i) { i.mirroring = i.virtualDisplay = i.fit = true; }), true},
        {"mirroring, fit ended", with([](auto& i) { i.mirroring = i.virtualDisplay = true; }), false},
        {"no real display, virtual", with([](auto& i) { i.activeRealDisplays = 0, i.virtualDisplay = true; }),
         true},
        {"no real display, retry window",
         with([](auto& i) { i.activeRealDisplays = 0, i.retryWindowOpen = true; }), true},
        {"no real display, nothing", with([](auto& i) { i.activeRealDisplays = 0; }), false},
        {"real, no virtual, fit, window open", with([](auto& i) { i.fit = i.retryWindowOpen = true; }), true},
        {"real, no virtual, fit, window closed", with([](auto& i) { i.fit = true; }), false},
        {"real, no virtual, lid open", with([](auto&) {}), true},
        {"real, no virtual, lid closed", with([](auto& i) { i.lidClosed = true; }), false},
        {"real, no virtual, lid closed, window open",
         with([](auto& i) { i.lidClosed = i.retryWindowOpen = true; }), true},
        {"real, virtual, lid open", with([](auto& i) { i.virtualDisplay = true; }), false},
        {"real, virtual, lid closed", with([](auto& i) { i.virtualDisplay = i.lidClosed = true; }), true},
        {"real, virtual, lid closed, fit",
         with([](auto& i) { i.virtualDisplay = i.lidClosed = i.fit = true; }), false},
        {"standby, real, lid closed",
         with([](auto& i) { i.standby = i.virtualDisplay = i.lidClosed = true; }), true},
        {"standby, real, lid closed, fit",
         with([](auto& i) { i.standby = i.virtualDisplay = i.lidClosed = i.fit = true; }), false},
        {"standby, lid opened", with([](auto& i) { i.standby = i.virtualDisplay = true; }), false},
        {"standby, real display gone",
         with([](auto& i) { i.standby = i.virtualDisplay = i.lidClosed = true, i.activeRealDisplays = 0; }),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(arrangementStays(c.in), c.stays);
    }
}
