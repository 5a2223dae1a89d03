#include "capture/VirtualDisplayMode.h"

#include "base/MainQueue.h"
#include "platform/fake/FakeDisplayServices.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

class ModeSwitchingDisplays : public FakeDisplayServices {
public:
    std::vector<DisplayMode> modes;
    int failuresLeft = 0;
    std::vector<DisplayMode> allModes(DisplayID) override { return modes; }
    int applyMode(DisplayID display, const DisplayMode& mode) override {
        if (failuresLeft > 0) {
            --failuresLeft;
            appliedModes.emplace_back(display, mode);
            return 1000;
        }
        return FakeDisplayServices::applyMode(display, mode);
    }
};

} // namespace

TEST(VirtualDisplayMode, SwitchesToTheViewportModeWithRetries) {
    RunLoop loop;
    installMainQueue(&loop);
    struct Case {
        const char* name;
        int failures;
        MacViewport viewport;
        bool switched;
        size_t applied;
    };
    const Case cases[] = {
        {"already in force", 0, {1920, 1080, false, false}, true, 0},
        {"HiDPI mode", 0, {1298, 600, true, true}, true, 1},
        {"two failures then success", 2, {1298, 600, true, true}, true, 3},
        {"always fails", 5, {1298, 600, true, true}, false, 3},
        {"no such mode", 0, {1000, 600, false, true}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModeSwitchingDisplays displays;
        DisplayMode base{1920, 1080, 1920, 1080};
        displays.add({7, "virtual", base, base, true, true, false, false, 0});
        displays.modes = {{1298, 600, 1298, 600}, {1298, 600, 2596, 1200}, base};
        displays.failuresLeft = c.failures;
        std::vector<std::string> logged;
        std::optional<bool> result;
        switchDisplayMode(
            displays, 7, c.viewport, loop, [&](std::string line) { logged.push_back(line); },
            [&](bool switched) { result = switched; }, {3, Millis(1)});
        ASSERT_TRUE(loop.runUntil([&] { return result.has_value(); }, Millis(10000)));
        EXPECT_EQ(*result, c.switched);
        EXPECT_EQ(displays.appliedModes.size(), c.applied);
        if (c.switched && c.applied > 0) {
            EXPECT_EQ(displays.appliedModes.back().second.pixelWidth, 2596);
        }
        EXPECT_EQ(logged.size(), c.switched ? 0u : 1u);
        if (!c.switched) {
            EXPECT_EQ(logged[0], "虚拟屏未能切换到 " + c.viewport.text());
        }
    }
}
