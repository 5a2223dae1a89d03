#include "lan/MacLANBrowser.h"

#include "lan/MacLANHost.h"
#include "platform/fake/FakeServiceDiscovery.h"

#include <gtest/gtest.h>

namespace quorlinth {
namespace {

using Found = MacLANBrowser::Found;

TEST(MacLANBrowser, ListsOthersInFileBrowserOrderWithoutItsOwnName) {
    RunLoop loop;
    FakeServiceDiscovery discovery;
    auto browser = MacLANBrowser::create(discovery, "我的 Mac", &loop);
    int changes = 0;
    browser->onChange = [&](const std::vector<Found>&) { ++changes; };
    browser->start();
    browser->start();
    discovery.announce(kLANServiceType, {{"Mac 10", "10.0.0.10", 47120},
                                         {"我的 Mac", "10.0.0.1", 47120},
                                         {"mac 9", "10.0.0.9", 47120},
                                         {"Apple\x1b[2J", "10.0.0.3", 6000},
                                         {"书房", "10.0.0.4", 47120}});
    discovery.announce("_other._tcp", {{"Mac 1", "10.0.0.11", 1}});
    ASSERT_TRUE(loop.runUntil([&] { return changes == 1; }, Millis(5'000)));
    EXPECT_EQ(browser->found(), (std::vector<Found>{{"Apple\xEF\xBF\xBD[2J", {"10.0.0.3", 6000}},
                                                    {"mac 9", {"10.0.0.9", 47120}},
                                                    {"Mac 10", {"10.0.0.10", 47120}},
                                                    {"书房", {"10.0.0.4", 47120}}}));

    discovery.announce(kLANServiceType, {{"我的 Mac", "10.0.0.1", 47120}});
    ASSERT_TRUE(loop.runUntil([&] { return changes == 2; }, Millis(5'000)));
    EXPECT_TRUE(browser->found().empty());
}

} // namespace
} // namespace quorlinth
