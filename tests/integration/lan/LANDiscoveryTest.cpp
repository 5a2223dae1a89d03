#include "../../unit/store/TestSupport.h"
#include "lan/LANIdentity.h"
#include "lan/MacLANBrowser.h"
#include "lan/MacLANDial.h"
#include "lan/MacLANHost.h"
#include "platform/linux/AvahiServiceDiscovery.h"

#include <gtest/gtest.h>

namespace quorlinth {
namespace {

using Accepted = MacLANDial::Accepted;
using Rejected = MacLANDial::Rejected;

// Accepts every session; the video path is not part of these tests.
struct AcceptingTarget : LANSessionTarget {
    int sessions = 0;
    std::optional<std::string> attachLocal(const std::string&, std::function<void(Json)>) override {
        return "lan-" + std::to_string(++sessions);
    }
    void receiveLocal(Json) override {}
};

std::vector<std::string> names(const std::vector<MacLANBrowser::Found>& found) {
    std::vector<std::string> list;
    for (const auto& entry : found)
        list.push_back(entry.name);
    return list;
}

// Inside the private namespace: a host advertising on the real LAN port, other announcements,
// and a controller that browses and dials what it finds.
TEST(LANDiscovery, FindsOtherMacsInOrderDialsTheHostAndSeesItLeave) {
    ASSERT_TRUE(std::getenv("QUORLINTH_AVAHI_NETNS")) << "runs only inside the private namespace";
    RunLoop loop;
    Timer tick = loop.every(Millis(10), Millis(10), [] {}); // wakes runUntil to look again
    AvahiServiceDiscovery discovery;
    testing::ScratchFolder folder;
    UserDefaults hostDefaults(folder / "host.json"), controllerDefaults(folder / "controller.json");
    MacLANTrust trusted(hostDefaults, kLANTrustedControllersKey),
        known(controllerDefaults, kLANKnownHostsKey);

    MacLANHost::Options options;
    options.discovery = &discovery;
    options.main = &loop;
    auto hostKey = crypto::P256SigningKey::generate();
    auto host =
        MacLANHost::create(hostKey, trusted, std::make_shared<AcceptingTarget>(), "书房的 Mac", options);
    int consents = 0;
    host->confirm = [&](MacLANHost::Request, std::function<void(bool)> completion) {
        ++consents;
        completion(true);
    };
    ASSERT_TRUE(host->start());
    EXPECT_EQ(host->port(), kLANPort);
    std::vector<std::unique_ptr<Observation>> others;
    for (auto [name, port] : {std::pair{"Mac 10", 5910}, std::pair{"Mac 9", 5909}, std::pair{"控制端", 5000}})
        others.push_back(discovery.publish(name, kLANServiceType, uint16_t(port), nullptr));

    auto browser = MacLANBrowser::create(discovery, "控制端", &loop);
    browser->start();
    browser->start();
    const std::vector<std::string> expected{"Mac 9", "Mac 10", "书房的 Mac"};
    // The host is seen on lo as well as on the veth pair; the network address wins once known.
    auto onVeth = [&] { return browser->found()[2].endpoint.host.rfind("10.213.0.", 0) == 0; };
    ASSERT_TRUE(
        loop.runUntil([&] { return names(browser->found()) == expected && onVeth(); }, Millis(20'000)))
        << "found " << ::testing::PrintToString(names(browser->found()));
    LANEndpoint hostEndpoint = browser->found()[2].endpoint;
    EXPECT_EQ(hostEndpoint.port, kLANPort);

    auto controllerKey = crypto::P256SigningKey::generate();
    auto dialOnce = [&](std::optional<std::string> password) {
        std::optional<MacLANDial::Outcome> outcome;
        auto dial = MacLANDial::create(controllerKey, known, hostEndpoint, password, "控制端", &loop);
        dial->onOutcome = [&](MacLANDial::Outcome result) { outcome = result; };
        dial->start();
        EXPECT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, Millis(10'000)));
        return outcome.value_or(MacLANDial::Failed{"no outcome"});
    };
    EXPECT_EQ(dialOnce(std::nullopt), MacLANDial::Outcome(Rejected{"need_password"}));
    EXPECT_EQ(dialOnce(host->password()),
              MacLANDial::Outcome(Accepted{"lan-1", "书房的 Mac", publicKeyText(hostKey)}));
    EXPECT_EQ(dialOnce(std::nullopt),
              MacLANDial::Outcome(Accepted{"lan-2", "书房的 Mac", publicKeyText(hostKey)}));
    EXPECT_EQ(consents, 1);
    EXPECT_EQ(known.validHosts().size(), 1u);

    host->stop();
    EXPECT_TRUE(loop.runUntil(
        [&] {
            return names(browser->found()) == std::vector<std::string>{"Mac 9", "Mac 10"};
        },
        Millis(20'000)));
}

} // namespace
} // namespace quorlinth
