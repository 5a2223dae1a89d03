// The controller client's failure paths against the real quorlinth-service on loopback.
// The whole program runs in a private network namespace: the cases that reach "accepted"
// create a peer connection, and that gathers ICE candidates.

#include "ScriptedHost.h"
#include "ScriptedSignalServer.h"
#include "ServiceAccount.h"
#include "SignalCutProxy.h"
#include "base/MainQueue.h"
#include "controller/CloudRTCClient.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace quorlinth;
using namespace quorlinth::testing;

namespace {

constexpr Millis kWait{20'000};
constexpr const char* kWaitingForConsent = "等待对方在设备上允许本次连接";
constexpr const char* kTimeoutText = "连接或授权超时：对方没有回应，请确认对方设备已开启共享并且在线";

struct ClientSetup {
    std::optional<CloudRTCClient::Guest> guest;
    bool listenRecoverable = true;
    CloudRTCClient::Timings timings;
};

// The client under test as its owner sees it: callbacks run on this object's loop and are
// recorded in order.
class ClientUnderTest {
public:
    ClientUnderTest(CloudAccess access, std::string target, ClientSetup setup = {}) {
        CloudRTCClient::Options options;
        options.main = &loop;
        options.iceAddresses = {"127.0.0.1"};
        options.timings = setup.timings;
        client = CloudRTCClient::create(std::move(access), std::move(target), std::move(setup.guest),
                                        std::nullopt, std::move(options));
        client->onStatus = [this](std::string text) { statuses.push_back(text); };
        client->onFailure = [this](std::string text) { failures.push_back(text); };
        if (setup.listenRecoverable)
            client->onRecoverableFailure = [this](std::string text) { recoverableFailures.push_back(text); };
        client->onTarget = [this](std::string name, std::string platform, bool viewOnly) {
            targets.push_back(name + "/" + platform + (viewOnly ? "/view-only" : ""));
        };
    }

    size_t reports() const { return failures.size() + recoverableFailures.size(); }
    bool sawStatus(const std::string& text) const {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }
    bool waitForReport() {
        return loop.runUntil([this] { return reports() > 0; }, kWait);
    }
    bool waitForStatus(const std::string& text) {
        return loop.runUntil([this, text] { return sawStatus(text); }, kWait);
    }
    // Lets callbacks that should not come have their chance.
    void idle(Millis duration) { loop.runFor(duration); }

    std::vector<std::string> statuses;
    std::vector<std::string> failures;
    std::vector<std::string> recoverableFailures;
    std::vector<std::string> targets;
    // Declared before the client: the client posts to it until it is gone.
    RunLoop loop;
    std::shared_ptr<CloudRTCClient> client;
};

// The devices a session-creation case left in place for the client under test.
struct Arrangement {
    std::string target;
    std::optional<CloudRTCClient::Guest> guest;
    std::vector<std::unique_ptr<ScriptedHost>> sockets;
    // When set, the client reaches the service through it.
    std::unique_ptr<SignalCutProxy> proxy;
};

using Device = ServiceAccount::Device;

Arrangement aimAt(std::string target, std::optional<CloudRTCClient::Guest> guest = std::nullopt) {
    Arrangement arranged;
    arranged.target = std::move(target);
    arranged.guest = std::move(guest);
    return arranged;
}

Arrangement offlineHost(ServiceAccount& account, const Device&) {
    return aimAt(account.bind("书房的 Mac").id);
}

Arrangement hostWithoutMedia(ServiceAccount& account, const Device&) {
    Device host = account.bind("书房的 Mac");
    Arrangement arranged = aimAt(host.id);
    arranged.sockets.push_back(account.connectSignal(host));
    EXPECT_TRUE(account.heartbeat(host, false));
    return arranged;
}

// Another controller of the account already holds a session with the host.
Arrangement busyHost(ServiceAccount& account, const Device&) {
    Device host = account.bind("书房的 Mac");
    Device other = account.bind("客厅的 Mac");
    Arrangement arranged = aimAt(host.id);
    arranged.sockets.push_back(account.connectSignal(host));
    arranged.sockets.push_back(account.connectSignal(other));
    EXPECT_TRUE(account.heartbeat(host, true));
    HttpReply first = account.createSession(other, host.id);
    EXPECT_EQ(200, first.status) << first.body;
    return arranged;
}

// The service loses the controller's socket after "ready" but before the session request.
Arrangement controllerSocketLost(ServiceAccount& account, const Device& controller) {
    Device host = account.bind("书房的 Mac");
    Arrangement arranged = aimAt(host.id);
    arranged.sockets.push_back(account.connectSignal(host));
    EXPECT_TRUE(account.heartbeat(host, true));
    arranged.proxy = std::make_unique<SignalCutProxy>(
        account.port(), [&account, controller] { EXPECT_TRUE(account.waitUntilOffline(controller)); });
    return arranged;
}

Arrangement wrongPassword(ServiceAccount& account, const Device&) {
    Device host = account.bind("书房的 Mac");
    std::string code = account.issuePairing(host, "0123456789abcdef");
    return aimAt("", CloudRTCClient::Guest{code, "fedcba9876543210"});
}

// Five wrong guesses lock the code; then even the right password is refused.
Arrangement lockedCode(ServiceAccount& account, const Device& controller) {
    Device host = account.bind("书房的 Mac");
    std::string code = account.issuePairing(host, "0123456789abcdef");
    for (int guess = 0; guess < 5; ++guess)
        account.createGuestSession(controller, code, "00000000" + std::to_string(guess) + "0");
    return aimAt("", CloudRTCClient::Guest{code, "0123456789abcdef"});
}

// The controller used up its session requests for this minute.
Arrangement exhaustedRequests(ServiceAccount& account, const Device& controller) {
    Device host = account.bind("书房的 Mac");
    for (int request = 0; request < 20; ++request)
        EXPECT_EQ("device_offline", account.createSession(controller, host.id).error());
    return aimAt(host.id);
}

Arrangement itself(ServiceAccount&, const Device& controller) {
    return aimAt(controller.id);
}

Arrangement unknownDevice(ServiceAccount&, const Device&) {
    return aimAt("no-such-device");
}

// A message that serializes to exactly `bytes` bytes.
std::string messageOfSize(size_t bytes) {
    Json message = {{"type", "noise"}, {"pad", ""}};
    size_t bare = dumpJson(message).size();
    message["pad"] = std::string(bytes - bare, 'x');
    return dumpJson(message);
}

} // namespace

TEST(CloudRTCClientFailure, SessionCreationErrorsReachTheOwnerAsMappedText) {
    struct Case {
        const char* name;
        Arrangement (*arrange)(ServiceAccount&, const Device&);
        bool listenRecoverable;
        const char* shown;
        bool reachesRecoverableListener;
    };
    const Case cases[] = {
        {"device_offline", offlineHost, true, "对方设备不在线", true},
        {"device_offline without a recoverable listener", offlineHost, false, "对方设备不在线", false},
        {"media_not_ready", hostWithoutMedia, true, "对方还没有开启屏幕共享和互联网连接", true},
        {"device_busy", busyHost, true, "对方正在被其他设备连接", true},
        {"controller_not_ready", controllerSocketLost, true, "本机账号连接未就绪，请稍后重试", false},
        {"pairing_invalid", wrongPassword, true, "设备码或临时密码不正确，或已过期", false},
        {"pairing_locked", lockedCode, true, "错误次数过多，请让对方换一个临时密码", false},
        {"rate_limited", exhaustedRequests, true, "尝试太频繁，请一分钟后再试", false},
        {"same_device", itself, true, "不能连接本机", false},
        {"device_not_found", unknownDevice, true, "找不到该设备，它可能已被移除；请刷新设备列表后重试",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceAccount account;
        ASSERT_TRUE(account.ready()) << account.serviceLog();
        Device controller = account.bind("控制端 Mac");
        Arrangement arranged = c.arrange(account, controller);
        for (const auto& socket : arranged.sockets)
            ASSERT_TRUE(socket);

        CloudAccess access = account.accessFor(controller);
        if (arranged.proxy) access.base = arranged.proxy->baseURL();
        ClientUnderTest seen(access, arranged.target, {arranged.guest, c.listenRecoverable, {}});
        seen.client->start();
        ASSERT_TRUE(seen.waitForReport());

        std::vector<std::string> expected = {std::string("无法连接：") + c.shown};
        EXPECT_EQ(c.reachesRecoverableListener ? seen.recoverableFailures : seen.failures, expected);
        EXPECT_EQ(seen.reports(), 1u);
        EXPECT_TRUE(seen.sawStatus("正在连接账号信令服务"));
        EXPECT_FALSE(seen.sawStatus(kWaitingForConsent));
    }
}

TEST(CloudRTCClientFailure, InvalidSignalingFramesEndTheAttempt) {
    using Frame = ScriptedSignalServer::Frame;
    struct Case {
        const char* name;
        std::vector<Frame> frames;
        const char* failure;
    };
    const Case cases[] = {
        {"binary frame", {{true, "\x01\x02\x03"}}, "收到无效信令"},
        {"text one byte over the limit", {{false, messageOfSize(71681)}}, "收到无效信令"},
        {"text that is not JSON", {{false, "hello"}}, "收到无效信令"},
        {"JSON that is not an object", {{false, "[1,2,3]"}}, "收到无效信令"},
        // A frame exactly at the limit is read and ignored; the probe after it is handled.
        {"text exactly at the limit",
         {{false, messageOfSize(71680)}, {false, R"({"type":"end","session_id":"s1","reason":"probe"})"}},
         "远端已结束会话：probe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSignalServer server(c.frames);
        ClientUnderTest seen({server.baseURL(), "account-token", "device-id", "device-token"}, "target");
        seen.client->start();
        ASSERT_TRUE(seen.waitForReport());
        EXPECT_EQ(seen.failures, std::vector<std::string>{c.failure});
        EXPECT_TRUE(seen.recoverableFailures.empty());
    }
}

// An account with a controller and an online, media-ready host whose signaling socket the
// test plays.
class CloudRTCClientWithHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(account.ready()) << account.serviceLog();
        controller = account.bind("控制端 Mac");
        Device device = account.bind("书房的 Mac");
        hostID = device.id;
        ASSERT_TRUE(account.heartbeat(device, true));
        host = account.connectSignal(device);
        ASSERT_TRUE(host);
    }

    std::unique_ptr<ClientUnderTest> startClient(CloudRTCClient::Timings timings = {}) {
        auto seen = std::make_unique<ClientUnderTest>(account.accessFor(controller), hostID,
                                                      ClientSetup{std::nullopt, true, timings});
        seen->client->start();
        return seen;
    }

    // The host's "request", once the client waits for consent; null when either did not come.
    Json awaitRequest(ClientUnderTest& seen) {
        auto request = host->next("request");
        if (!request || !seen.waitForStatus(kWaitingForConsent)) return nullptr;
        return *request;
    }

    // The client sent "end" before closing its socket: the service relays it without a
    // reason, where a merely dropped socket would read "signal_closed".
    void expectEndFromController(const Json& request) {
        auto end = host->next("end");
        ASSERT_TRUE(end);
        EXPECT_EQ((*end)["session_id"], request["session_id"]);
        EXPECT_FALSE(end->contains("reason")) << dumpJson(*end);
    }

    void answer(const Json& request, const std::string& type) {
        host->send({{"type", type}, {"session_id", request["session_id"]}});
    }

    ServiceAccount account;
    Device controller;
    std::string hostID;
    std::unique_ptr<ScriptedHost> host;
};

TEST_F(CloudRTCClientWithHost, HostRejectionEndsTheAttempt) {
    auto seen = startClient();
    Json request = awaitRequest(*seen);
    ASSERT_TRUE(request.is_object());
    EXPECT_EQ(field::string(request, "name", ""), "控制端 Mac");
    EXPECT_EQ(field::string(request, "controller_id", ""), controller.id);
    EXPECT_EQ(seen->targets, std::vector<std::string>{"书房的 Mac/macos"});

    answer(request, "reject");
    ASSERT_TRUE(seen->waitForReport());
    EXPECT_EQ(seen->failures, std::vector<std::string>{"对方拒绝了本次连接"});
    EXPECT_TRUE(seen->recoverableFailures.empty());
    EXPECT_FALSE(seen->sawStatus("正在初始化 WebRTC 解码器"));
}

TEST_F(CloudRTCClientWithHost, HostSocketDroppingMidSessionIsRecoverable) {
    auto seen = startClient();
    Json request = awaitRequest(*seen);
    ASSERT_TRUE(request.is_object());
    answer(request, "accept");
    auto offer = host->next("offer");
    ASSERT_TRUE(offer);
    EXPECT_NE(field::string(*offer, "sdp", "").find("m=video"), std::string::npos);

    host->drop();
    ASSERT_TRUE(seen->waitForReport());
    EXPECT_EQ(seen->recoverableFailures, std::vector<std::string>{"对方的网络信令已断开，请稍后重新连接"});
    EXPECT_TRUE(seen->failures.empty());
    EXPECT_TRUE(seen->sawStatus("WebRTC 接收器已创建"));
}

TEST_F(CloudRTCClientWithHost, AttemptTimesOutWhenTheHostNeverAnswersTheOffer) {
    CloudRTCClient::Timings timings;
    timings.attempt = Millis(5'000);
    auto started = Clock::now();
    auto seen = startClient(timings);
    Json request = awaitRequest(*seen);
    ASSERT_TRUE(request.is_object());
    answer(request, "accept");
    ASSERT_TRUE(host->next("offer"));

    ASSERT_TRUE(seen->waitForReport());
    EXPECT_GE(Clock::now() - started, timings.attempt);
    EXPECT_EQ(seen->recoverableFailures, std::vector<std::string>{kTimeoutText});
    EXPECT_TRUE(seen->failures.empty());
    expectEndFromController(request);
}

TEST_F(CloudRTCClientWithHost, StopAfterFailureReportsNothingMore) {
    auto seen = startClient();
    Json request = awaitRequest(*seen);
    ASSERT_TRUE(request.is_object());
    answer(request, "reject");
    ASSERT_TRUE(seen->waitForReport());
    size_t statuses = seen->statuses.size();

    seen->client->stop();
    seen->client->stop();
    seen->idle(Millis(500));
    EXPECT_EQ(seen->reports(), 1u);
    EXPECT_EQ(seen->statuses.size(), statuses);
}

TEST_F(CloudRTCClientWithHost, FailureAfterStopIsSilent) {
    CloudRTCClient::Timings timings;
    timings.attempt = Millis(1'500);
    auto seen = startClient(timings);
    Json request = awaitRequest(*seen);
    ASSERT_TRUE(request.is_object());
    size_t statuses = seen->statuses.size();

    seen->client->stop();
    expectEndFromController(request);
    // Neither a late answer, a lost host nor the attempt timer reaches the owner now.
    answer(request, "reject");
    host->drop();
    seen->idle(timings.attempt + Millis(1'500));
    EXPECT_EQ(seen->reports(), 0u);
    EXPECT_EQ(seen->statuses.size(), statuses);
}
