#include "ModelHarness.h"
#include "platform/fake/FakeServiceDiscovery.h"
#include "store/UserDefaults.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ModelHarness;

namespace {

const MacShareHost::Request kTrustedPhone{"P1", "我的手机", false};

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

TEST(MacModel, PressingStartTwiceStartsOneShare) {
    ModelHarness h;
    auto model = h.makeModel();
    model->startSharing();
    model->startSharing();
    ASSERT_TRUE(h.runUntil([&] { return model->state().sharing.get(); }));
    model->startSharing();
    EXPECT_EQ(h.hosts.size(), 1u);
    EXPECT_TRUE(h.hosts[0]->started);
    EXPECT_EQ(h.hosts[0]->credentials.deviceID, "D1");
    EXPECT_EQ(model->state().status.get(), MacModel::kSharingStatus);
    EXPECT_TRUE(contains(h.logged, "状态 正在共享主显示器"));
    EXPECT_FALSE(model->state().starting.get());
}

// The capture runs at the rate the host sends (a relay route's profile sends fewer frames), so
// no captured picture waits for the host's next due time; a stopped share's host changes nothing.
TEST(MacModel, TheCaptureFollowsTheHostsFrameRate) {
    ModelHarness h;
    auto model = h.makeModel();
    model->startSharing();
    ASSERT_TRUE(h.runUntil([&] { return model->state().sharing.get(); }));
    auto stream = h.screen.latest();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->config.minimumFrameIntervalTimescale, 30);
    int width = stream->config.width;
    h.hosts[0]->callbacks.onFrameRate(20);
    EXPECT_EQ(stream->config.minimumFrameIntervalValue, 1);
    EXPECT_EQ(stream->config.minimumFrameIntervalTimescale, 20);
    EXPECT_EQ(stream->config.width, width) << "only the rate changes";

    model->stopSharing();
    ASSERT_TRUE(h.runUntil([&] { return !model->state().sharing.get(); }));
    h.hosts[0]->callbacks.onFrameRate(10);
    EXPECT_EQ(stream->config.minimumFrameIntervalTimescale, 20) << "a stopped share's host is ignored";
}

TEST(MacModel, ACaptureThatCannotStartLeavesTheModelIdleWithTheReason) {
    ModelHarness h;
    h.screen.startResults = {"无法打开显示器"};
    auto model = h.makeModel();
    model->startSharing();
    ASSERT_TRUE(h.runUntil([&] { return !model->state().starting.get(); }));
    EXPECT_FALSE(model->state().sharing.get());
    EXPECT_EQ(model->state().status.get(), "无法启动屏幕共享：无法打开显示器");
    ASSERT_EQ(h.hosts.size(), 1u);
    EXPECT_FALSE(h.hosts[0]->started);
}

TEST(MacModel, StartingWithoutAnAccountSaysSo) {
    ModelHarness h;
    ASSERT_TRUE(h.keys->remove(MacAccount::kKeyStoreService, MacAccount::kSessionItem));
    auto model = h.makeModel();
    model->startSharing();
    ASSERT_TRUE(h.runUntil([&] { return !model->state().starting.get(); }));
    EXPECT_EQ(model->state().status.get(), "无法启动屏幕共享：请先登录账号");
    EXPECT_TRUE(h.hosts.empty());
}

TEST(MacModel, TrustedDevicesAreAcceptedAndEveryoneElseIsAsked) {
    struct Case {
        const char* what;
        MacShareHost::Request request;
        bool asked;
        const char* message;
    };
    const Case cases[] = {
        {"trusted device of the account", kTrustedPhone, false, ""},
        {"the same device with the device code",
         {"P1", "我的手机", true},
         true,
         "允许 我的手机（设备码协助）连接这台电脑？"},
        {"untrusted device of the account",
         {"P2", "同事的电脑", false},
         true,
         "允许 同事的电脑（同账号）连接这台电脑？"},
        {"a name that tries to reorder the prompt",
         {"P3", "A\u202Eevil\n", false},
         true,
         "允许 Aevil（同账号）连接这台电脑？"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ModelHarness h;
        auto model = h.makeModel();
        model->setTrusted("P1", true);
        h.share();
        auto decision = h.request(c.request);
        ASSERT_EQ(h.prompter.questions.size(), c.asked ? 1u : 0u);
        if (!c.asked) {
            EXPECT_EQ(*decision, true);
            EXPECT_EQ(model->state().status.get(), "已接受可信设备 我的手机 的连接");
            continue;
        }
        const MacQuestion& question = h.prompter.questions[0];
        EXPECT_EQ(question.message, c.message);
        EXPECT_EQ(question.informative, "对方将看到主显示器画面；远程输入当前未开放。");
        EXPECT_EQ(question.accept, "允许本次连接");
        EXPECT_EQ(question.reject, "拒绝");
        EXPECT_FALSE(decision->has_value());
        h.prompter.answers[0](true);
        EXPECT_EQ(*decision, true);
    }
}

TEST(MacModel, ThePromptSaysWhenRemoteInputIsOpen) {
    ModelHarness h;
    auto model = h.makeModel();
    model->setAllowInput(true);
    h.share();
    h.request({"P2", "同事的电脑", false});
    ASSERT_EQ(h.prompter.questions.size(), 1u);
    EXPECT_EQ(h.prompter.questions[0].informative, "对方将看到主显示器画面，并能操作鼠标和键盘。");
}

TEST(MacModel, RequestsAreRefusedAfterAnAccountSwitchOrFromAStoppedShare) {
    ModelHarness h;
    auto bob = h.credentials("bob", "D2");
    h.signIn({h.credentials("alice", "D1"), bob});
    auto model = h.makeModel();
    model->setTrusted("P1", true);
    h.share();
    std::optional<MacResult<void>> switched;
    model->account().switchAccount(accountKey(bob), [&](MacResult<void> done) { switched = done; });
    ASSERT_TRUE(h.runUntil([&] { return switched.has_value(); }));
    ASSERT_EQ(model->account().credentials()->deviceID, "D2");
    EXPECT_EQ(*h.request(kTrustedPhone), false);
    EXPECT_TRUE(h.prompter.questions.empty());

    auto& oldHost = *h.hosts.back();
    model->stopSharing();
    std::optional<bool> late;
    oldHost.callbacks.onRequest(kTrustedPhone, [&](bool allow) { late = allow; });
    EXPECT_EQ(late, false);
}

TEST(MacModel, StoppingClearsTheDeviceCodeAtOnceEvenWhenTheServiceDoesNotAnswer) {
    ModelHarness h;
    h.server.respond(h.server.response(200, R"({"code":"123456789"})"));
    auto model = h.makeModel();
    auto& host = h.share();
    bool paired = false;
    model->refreshPairing([&] { paired = true; });
    ASSERT_TRUE(h.runUntil([&] { return paired; }));
    ASSERT_EQ(model->state().pairingCode.get(), "123456789");

    h.server.respond(ModelHarness::Server::kSilence);
    bool stopped = false;
    model->stopSharing([&] { stopped = true; });
    EXPECT_TRUE(host.stopped);
    EXPECT_FALSE(model->state().sharing.get());
    EXPECT_EQ(model->state().pairingCode.get(), "");
    EXPECT_EQ(model->state().pairingPassword.get(), "");
    EXPECT_TRUE(model->state().stoppingSharing.get());
    model->startSharing(); // ignored while the stop still waits for the service
    EXPECT_EQ(h.hosts.size(), 1u);
    EXPECT_FALSE(stopped);
}

TEST(MacModel, PairingIssuesACodeAndASixteenDigitPasswordAndStoppingWithdrawsIt) {
    ModelHarness h;
    h.server.respond(h.server.response(200, R"({"code":"123456789","expires_at":4000000000})"));
    auto model = h.makeModel();
    h.share();
    bool done = false;
    model->refreshPairing([&] { done = true; });
    ASSERT_TRUE(h.runUntil([&] { return done; }));
    EXPECT_EQ(model->state().pairingCode.get(), "123456789");
    const std::string& password = model->state().pairingPassword.get();
    EXPECT_EQ(password.size(), 16u);
    EXPECT_EQ(password.find_first_not_of("0123456789abcdef"), std::string::npos);
    auto requests = h.server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].target, "/v1/devices/D1/pairing");
    EXPECT_NE(requests[0].body.find(password), std::string::npos);

    bool stopped = false;
    model->stopSharing([&] { stopped = true; });
    ASSERT_TRUE(h.runUntil([&] { return stopped; }));
    requests = h.server.requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[1].method, "DELETE");
    EXPECT_EQ(requests[1].target, "/v1/devices/D1/pairing");
    EXPECT_EQ(requests[2].target, "/v1/devices/D1/heartbeat");
    EXPECT_NE(requests[2].body.find(R"("capture_ready":false)"), std::string::npos);
}

TEST(MacModel, AFailedPairingKeepsTheOldCodeAndShowsTheServiceMessage) {
    ModelHarness h;
    h.server.respond(h.server.response(429, R"({"error":"rate_limited","retry_after":30})"));
    auto model = h.makeModel();
    bool done = false;
    model->refreshPairing([&] { done = true; });
    ASSERT_TRUE(h.runUntil([&] { return done; }));
    EXPECT_EQ(model->state().pairingCode.get(), "");
    EXPECT_EQ(model->state().status.get(), "操作过于频繁，请 30 秒后重试");
}

TEST(MacModel, PowerAssertionsFollowKeepAwakeAndTheViewer) {
    struct Case {
        bool keepAwake;
        bool viewer;
        bool display;
        bool system;
    };
    const Case cases[] = {
        {true, false, true, true},
        {true, true, true, true},
        {false, false, false, false},
        {false, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "keepAwake " << c.keepAwake << " viewer " << c.viewer);
        ModelHarness h;
        auto model = h.makeModel();
        model->setKeepAwake(c.keepAwake);
        auto& host = h.share();
        if (c.viewer) host.callbacks.onConnect();
        EXPECT_EQ(h.power.holds(PowerAssertionType::preventUserIdleDisplaySleep), c.display);
        EXPECT_EQ(h.power.holds(PowerAssertionType::preventSystemSleep), c.system);
        if (c.viewer) {
            ASSERT_FALSE(h.power.activities.empty());
            EXPECT_EQ(h.power.activities.back().name, "Quorlinth 远程控制中");
            host.callbacks.onDisconnect();
            EXPECT_EQ(h.power.holds(PowerAssertionType::preventSystemSleep), c.keepAwake);
        }
        model->stopSharing();
        EXPECT_TRUE(h.power.held.empty());
    }
}

TEST(MacModel, TheSystemSleepAssertionIsLoggedWhenTakenAndReleased) {
    ModelHarness h;
    auto model = h.makeModel();
    model->setKeepAwake(false);
    auto& host = h.share();
    host.callbacks.onConnect();
    host.callbacks.onDisconnect();
    EXPECT_TRUE(contains(h.logged, "阻止系统睡眠 keepAwake=false connected=true"));
    EXPECT_TRUE(contains(h.logged, "允许系统睡眠 sharing=true keepAwake=false connected=false"));
}

TEST(MacModel, LoginItemRegistersAndUnregistersEvenWhileWaitingForApproval) {
    ModelHarness h;
    auto model = h.makeModel();
    model->setStartAtLogin(true);
    EXPECT_EQ(h.loginItem.registrations, 1);
    EXPECT_TRUE(model->currentAccess().startAtLogin);
    EXPECT_EQ(model->state().loginItemStatus.get(), 1);

    h.loginItem.current = LoginItemStatus::requiresApproval;
    model->setStartAtLogin(false);
    EXPECT_EQ(h.loginItem.unregistrations, 1);
    EXPECT_FALSE(model->currentAccess().startAtLogin);
    EXPECT_EQ(model->state().loginItemStatus.get(), 0);

    h.loginItem.failure = "无法写入自动启动项";
    model->setStartAtLogin(true);
    EXPECT_EQ(model->state().status.get(), "无法更新登录项：无法写入自动启动项");
    EXPECT_FALSE(model->currentAccess().startAtLogin);
}

TEST(MacModel, TwoAccountsKeepSeparateTrustedListsAcrossRestarts) {
    ModelHarness h;
    auto bob = h.credentials("bob", "D2");
    h.signIn({h.credentials("alice", "D1"), bob});
    {
        auto model = h.makeModel();
        model->setTrusted("P1", true);
        std::optional<MacResult<void>> switched;
        model->account().switchAccount(accountKey(bob), [&](MacResult<void> done) { switched = done; });
        ASSERT_TRUE(h.runUntil([&] { return switched.has_value(); }));
        EXPECT_TRUE(model->currentAccess().trustedDevices.empty());
        model->setTrusted("P9", true);
    }
    h.defaults = std::make_unique<UserDefaults>(h.folder / "defaults.json");
    auto model = h.makeModel();
    const auto& access = model->state().accessByHost.get();
    ASSERT_EQ(access.size(), 2u);
    EXPECT_EQ(access.at("D1").trustedDevices, std::set<std::string>{"P1"});
    EXPECT_EQ(access.at("D2").trustedDevices, std::set<std::string>{"P9"});
}

TEST(MacModel, ViewportRequestsGoToTheCaptureAndEverythingElseToTheInjector) {
    ModelHarness h;
    h.injector.isTrusted = true;
    auto model = h.makeModel();
    model->setAllowInput(true);
    auto& host = h.share();
    std::vector<std::string> seen;
    model->onControl = [&](const std::string& message) { seen.push_back(message); };
    host.callbacks.onInput(R"({"type":"move","x":0.5,"y":0.5})");
    host.callbacks.onInput(R"({"type":"viewport","width":1280,"height":800,"scale":1.0,"fit":true})");
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(h.injector.events.size(), 1u);
    EXPECT_TRUE(host.callbacks.inputReady());
    model->setAllowInput(false);
    EXPECT_FALSE(host.callbacks.inputReady());
}

TEST(MacModel, ADamagedSettingsFileIsLoggedKeptAsideAndReadAsDefaults) {
    ModelHarness h;
    { std::ofstream(h.folder / "defaults.json") << "{\"mac.share.keepAwake\": fal"; }
    h.defaults = std::make_unique<UserDefaults>(h.folder / "defaults.json");
    auto model = h.makeModel();
    EXPECT_TRUE(model->state().keepAwake.get());
    EXPECT_TRUE(std::filesystem::exists(h.folder / "defaults.json.damaged"));
    ASSERT_FALSE(h.logged.empty());
    EXPECT_EQ(h.logged[0].rfind("设置文件无法读取", 0), 0u);
}

TEST(MacModel, RestoresSharingAtLoginOnlyWhenEverythingIsInPlace) {
    struct Case {
        const char* what;
        bool startAtLogin;
        bool trusted;
        LoginItemStatus item;
        bool permitted;
        bool shares;
        const char* status;
    };
    const Case cases[] = {
        {"all set", true, true, LoginItemStatus::enabled, true, true, MacModel::kSharingStatus},
        {"no trusted device", true, false, LoginItemStatus::enabled, true, false, ""},
        {"login item waiting for approval", true, true, LoginItemStatus::requiresApproval, true, false, ""},
        {"switched off", false, true, LoginItemStatus::enabled, true, false, ""},
        {"no screen recording", true, true, LoginItemStatus::enabled, false, false,
         MacModel::kLoginWaitingStatus},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ModelHarness h;
        MacSharingAccess access{{}, c.startAtLogin, false};
        if (c.trusted) access.trustedDevices.insert("P1");
        h.defaults->set(MacSharingSettings::kAccessKey, MacSharingSettings::encodeAccess({{"D1", access}}));
        h.loginItem.current = c.item;
        h.screen.permitted = c.permitted;
        auto model = h.makeModel();
        model->restoreAtLaunch();
        h.runUntil([&] { return !model->state().starting.get(); });
        EXPECT_EQ(model->state().sharing.get(), c.shares);
        EXPECT_EQ(model->state().status.get(), c.status);
    }
}

TEST(MacModel, AnUpdateRestartBringsSharingAndInputBack) {
    ModelHarness h;
    h.injector.isTrusted = true;
    h.resume = MacUpdateResume{true, true, 0};
    auto model = h.makeModel();
    model->restoreAtLaunch();
    ASSERT_TRUE(h.runUntil([&] { return model->state().sharing.get() && !model->state().starting.get(); }));
    EXPECT_TRUE(model->state().allowInput.get());
    EXPECT_EQ(model->state().status.get(), MacModel::kUpdateRestoredStatus);
}

TEST(MacModel, ALANSessionOpensOnceAndOnlyWhenTheRulesAllow) {
    // Port 9 on loopback: nothing answers, so a dial that starts fails there and goes nowhere else.
    const LANEndpoint target{"127.0.0.1", 9};
    using Before = std::function<void(ModelHarness&, MacModel&)>;
    struct Case {
        const char* name;
        bool identity;
        Before before;
        bool opens;
        size_t sessions;
        std::string status; // the model's status after a refusal
    };
    const std::vector<Case> cases = {
        {"new", true, {}, true, 1, ""},
        {"already open", true, [&](ModelHarness&, MacModel& model) { model.openLAN(target, "先开的"); }, true,
         1, ""},
        {"sharing", true,
         [](ModelHarness& h, MacModel& model) {
             model.setLANEnabled(false); // no LAN listener for this case
             h.share();
         },
         false, 0, MacModel::kStopSharingFirst},
        {"limit reached", true,
         [](ModelHarness&, MacModel& model) {
             for (uint16_t port = 1; port <= MacModel::kMaxSessions; ++port)
                 ASSERT_TRUE(model.openLAN({"127.0.0.1", port}, "其他"));
         },
         false, size_t(MacModel::kMaxSessions), "最多同时控制 4 台设备，请先关闭一个远程窗口"},
        {"no LAN identity", false, {}, false, 0, MacModel::kNoLANIdentity},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelHarness h;
        if (c.identity) h.lanKeys = h.keys.get();
        auto model = h.makeModel();
        if (c.before) c.before(h, *model);
        auto before = model->state().sessions.get();
        auto session = model->openLAN(target, "127.0.0.1");
        EXPECT_EQ(session != nullptr, c.opens);
        EXPECT_EQ(model->state().sessions.get().size(), c.sessions);
        if (!session) {
            EXPECT_EQ(model->state().status.get(), c.status);
            EXPECT_EQ(model->state().sessions.get(), before);
            continue;
        }
        EXPECT_EQ(session->deviceID(), "lan:127.0.0.1:9");
        EXPECT_EQ(model->state().sessions.get().back(), session);
        if (!before.empty()) {
            EXPECT_EQ(before.front(), session); // the open one, not a second
        }
        // It dials: the refused loopback connection comes back as the session's failure.
        EXPECT_TRUE(h.runUntil([&] { return !session->state().failure.get().empty(); }));
    }
}

TEST(MacModel, AForgottenLANAddressIsGoneForGood) {
    ModelHarness h;
    MacLANTrust dialled(*h.defaults, kLANKnownHostsKey);
    dialled.remember("KEY-A", "192.168.1.20:47120", "书房");
    dialled.remember("KEY-B", "192.168.1.21:47120", std::nullopt);
    auto model = h.makeModel();
    auto names = [](const std::vector<MacLANTrust::Entry>& entries) {
        std::vector<std::string> out;
        for (const auto& entry : entries)
            out.push_back(entry.name);
        return out;
    };
    EXPECT_EQ(names(model->knownLANHosts()),
              (std::vector<std::string>{"192.168.1.21:47120", "192.168.1.20:47120"}));
    model->forgetLANHost("192.168.1.20:47120");
    EXPECT_EQ(names(model->knownLANHosts()), std::vector<std::string>{"192.168.1.21:47120"});
    EXPECT_EQ(names(MacLANTrust(*h.defaults, kLANKnownHostsKey).entries()),
              std::vector<std::string>{"192.168.1.21:47120"});
}

TEST(MacModel, TheLANListFollowsTheNetworkWithoutThisComputer) {
    using Announced = std::vector<DiscoveredService>;
    struct Step {
        const char* name;
        Announced announced;
        std::vector<std::string> listed; // the names in `lanFound` afterwards
    };
    const std::string self = localComputerName();
    const std::vector<Step> steps = {
        {"two others and this computer",
         {{"客厅", "127.0.0.2", 47120}, {self, "127.0.0.1", 47120}, {"书房", "127.0.0.3", 47120}},
         {"书房", "客厅"}},
        {"one vanished", {{"客厅", "127.0.0.2", 47120}, {self, "127.0.0.1", 47120}}, {"客厅"}},
        {"only this computer", {{self, "127.0.0.1", 47120}}, {}},
    };
    FakeServiceDiscovery discovery;
    ModelHarness h;
    h.discovery = &discovery;
    h.lanKeys = h.keys.get();
    auto model = h.makeModel();
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto& found : model->state().lanFound.get())
            out.push_back(found.name);
        return out;
    };
    model->browseLAN();
    model->browseLAN(); // one browser: every announcement is one change
    int changes = 0;
    auto counting = model->state().lanFound.observe([&](const auto&) { ++changes; });
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        int before = changes;
        discovery.announce(kLANServiceType, step.announced);
        ASSERT_TRUE(h.runUntil([&] { return changes > before; }));
        EXPECT_EQ(names(), step.listed);
    }

    // A found computer is matched to its session by the LAN device identifier.
    discovery.announce(kLANServiceType, {{"客厅", "127.0.0.2", 9}});
    ASSERT_TRUE(h.runUntil([&] { return names() == std::vector<std::string>{"客厅"}; }));
    const auto& found = model->state().lanFound.get().front();
    auto session = model->openLAN(found.endpoint, found.name);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->deviceID(), MacModel::lanDeviceID(found.endpoint));
    EXPECT_EQ(session->deviceID(), "lan:127.0.0.2:9");
}

TEST(MacModel, WithoutDiscoveryTheLANListStaysEmpty) {
    ModelHarness h;
    auto model = h.makeModel();
    model->browseLAN();
    EXPECT_TRUE(model->state().lanFound.get().empty());
}
