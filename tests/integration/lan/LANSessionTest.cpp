#include "../../unit/store/TestSupport.h"
#include "capture/TestPattern.h"
#include "controller/CloudRTCClient.h"
#include "host/MacShareHost.h"
#include "lan/LANIdentity.h"
#include "lan/MacLANDial.h"
#include "lan/MacLANHost.h"

#include <gtest/gtest.h>

namespace quorlinth {
namespace {

constexpr Millis kWait{30'000};

// Waits until `owner` has let go of its queue's last reference, running the loop meanwhile.
template <class T> void release(RunLoop& loop, std::shared_ptr<T>& owner) {
    std::weak_ptr<T> gone = owner;
    owner.reset();
    loop.runUntil([&] { return gone.expired(); }, Millis(10'000));
}

// A whole LAN session with no account service anywhere: a share host fed by a test pattern
// behind the LAN host on the LAN port, and a controller that dials it, pairs with the password
// and runs WebRTC with its signaling carried by the LAN link, until video frames decode.
TEST(LANSession, VideoFlowsOverWebRTCWithSignalingOnTheLANLink) {
    ASSERT_TRUE(std::getenv("QUORLINTH_AVAHI_NETNS")) << "runs only inside the private namespace";
    RunLoop loop;
    Timer tick = loop.every(Millis(10), Millis(10), [] {}); // wakes runUntil for changes made off the loop
    testing::ScratchFolder folder;
    UserDefaults hostDefaults(folder / "host.json"), controllerDefaults(folder / "controller.json");
    MacLANTrust trusted(hostDefaults, kLANTrustedControllersKey),
        known(controllerDefaults, kLANKnownHostsKey);

    std::vector<std::string> hostLog;
    MacShareHost::Options shareOptions;
    shareOptions.iceAddresses = {"10.213.0.1"};
    shareOptions.main = &loop;
    shareOptions.log = [](const std::string&) {};
    auto share = MacShareHost::create(shareOptions);
    int connects = 0, disconnects = 0;
    share->onConnect = [&] { ++connects; };
    share->onDisconnect = [&] { ++disconnects; };
    share->start();
    auto pattern =
        std::make_unique<TestPattern>(640, 360, 30, [weak = std::weak_ptr(share)](SharedPixels pixels) {
            if (auto alive = weak.lock()) alive->cachePixels(std::move(pixels));
        });

    MacLANHost::Options hostOptions;
    hostOptions.main = &loop;
    auto lanHost = MacLANHost::create(crypto::P256SigningKey::generate(), trusted, shareHostTarget(share),
                                      "书房的 Mac", hostOptions);
    lanHost->confirm = [](MacLANHost::Request, std::function<void(bool)> completion) { completion(true); };
    lanHost->onEvent = [&](std::string text) { hostLog.push_back(text); };
    ASSERT_TRUE(lanHost->start());

    auto identity = crypto::P256SigningKey::generate();
    auto dial =
        MacLANDial::create(identity, known, {"10.213.0.1", kLANPort}, lanHost->password(), "控制端", &loop);
    std::shared_ptr<CloudRTCClient> client;
    std::optional<MacLANDial::Outcome> outcome;
    std::optional<std::pair<int, int>> firstFrame;
    std::vector<std::string> failures;
    dial->onOutcome = [&](MacLANDial::Outcome result) {
        outcome = result;
        auto* accepted = std::get_if<MacLANDial::Accepted>(&result);
        if (!accepted) return;
        CloudRTCClient::Options options;
        options.main = &loop;
        options.iceAddresses = {"10.213.0.2"};
        client = CloudRTCClient::create({"", "", "lan", ""}, "lan:" + accepted->hostKey, std::nullopt,
                                        std::nullopt, options);
        client->onFrame = [&](int width, int height) {
            if (!firstFrame) firstFrame = {width, height};
        };
        client->onFailure = [&](std::string text) { failures.push_back(text); };
        client->onRecoverableFailure = [&](std::string text) { failures.push_back(text); };
        dial->onMessage = [weak = std::weak_ptr(client)](Json m) {
            if (auto live = weak.lock()) live->receiveExternal(std::move(m));
        };
        client->startExternal(
            [weak = std::weak_ptr(dial)](Json m) {
                if (auto live = weak.lock()) live->send(std::move(m));
            },
            accepted->session, "macos");
    };
    dial->start();

    ASSERT_TRUE(loop.runUntil([&] { return firstFrame.has_value() || !failures.empty(); }, kWait))
        << "no frame and no failure";
    ASSERT_TRUE(firstFrame) << failures.front();
    EXPECT_EQ(*firstFrame, (std::pair{640, 360}));
    auto* accepted = std::get_if<MacLANDial::Accepted>(&*outcome);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->session.rfind("lan-", 0), 0u);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(hostLog, std::vector<std::string>{"局域网连接：控制端"});
    EXPECT_TRUE(trusted.contains(publicKeyText(identity)));

    // The controller ends the session: its "end" travels over the link and the host lets go.
    client->stop();
    EXPECT_TRUE(loop.runUntil([&] { return disconnects == 1; }, kWait));
    dial->close();
    EXPECT_TRUE(loop.runUntil([&] { return lanHost->linkCount() == 0; }, kWait));

    release(loop, client);
    lanHost->stop();
    pattern.reset();
    share->stop();
    release(loop, share);
}

} // namespace
} // namespace quorlinth
