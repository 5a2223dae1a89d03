// MacShareHost's signaling channel with short injected timings: reconnection after the
// socket went silent, and the device heartbeat as the service receives it.

#include "ShareHostFixture.h"

#include <regex>

using namespace quorlinth;
using namespace quorlinth::testing;

TEST_F(ShareHostTest, ReconnectsAfterItsSignalingSocketWentSilentOrDropped) {
    MacShareHost::Timings timings = quietHeartbeat();
    timings.signalCheck = Millis(200);
    timings.signalSilence = Millis(600);
    timings.reconnectDelay = Millis(250);
    ASSERT_NO_FATAL_FAILURE(startInProcessHost(timings));
    ASSERT_NO_FATAL_FAILURE(startController());

    // A quiet socket that answers pings lives through several silence periods.
    ASSERT_TRUE(waitFor([&] { return tap->hostPings() >= 6; }));
    EXPECT_EQ(tap->signalingConnections(), 1);
    EXPECT_TRUE(tap->hostCloseCodes().empty());
    EXPECT_FALSE(hostLogged("秒无响应"));

    struct Case {
        const char* name;
        void (SignalTap::*cut)();
        const char* logLine;
        std::optional<uint16_t> closeCode; // what the host sends on the socket it gives up
    };
    const Case cases[] = {
        {"silent", &SignalTap::silenceOpenConnections, "信令 [0-9]+ 秒无响应，重连", 1001},
        {"dropped", &SignalTap::dropOpenConnections, "信令断开：.+，5 秒后重连", std::nullopt},
    };
    int round = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++round;
        // An accepted session (no media yet), which the loss of the socket ends.
        ASSERT_NO_FATAL_FAILURE(openAcceptedSession());
        size_t heartbeatsBefore = heartbeats().size();
        size_t closesBefore = tap->hostCloseCodes().size();

        (tap.get()->*c.cut)();
        ASSERT_TRUE(waitFor([&] { return hostCount("信令已连接") == round; })) << hostTranscript();
        EXPECT_EQ(tap->signalingConnections(), round);
        auto closes = tap->hostCloseCodes();
        if (c.closeCode) {
            ASSERT_EQ(closes.size(), closesBefore + 1);
            EXPECT_EQ(closes.back(), *c.closeCode);
        }
        int matching = 0;
        for (const auto& line : host->lines())
            matching += std::regex_match(line, std::regex(c.logLine));
        EXPECT_EQ(matching, 1) << hostTranscript();

        EXPECT_TRUE(waitFor([&] { return hostCount("状态 会话结束") == round - 1; }));
        ASSERT_TRUE(waitFor([&] { return int(controllerReceived("end").size()) == round - 1; }));
        EXPECT_EQ(field::string(controllerReceived("end").back(), "reason"), "signal_closed");
        // The new socket is registered: "ready" brought a heartbeat.
        EXPECT_TRUE(waitFor([&] { return heartbeats().size() > heartbeatsBefore; }));
    }
    // And it carries the next session.
    ASSERT_NO_FATAL_FAILURE(openAcceptedSession());
    EXPECT_EQ(hostCount("请求 "), 3);
}

TEST_F(ShareHostTest, PostsTheDeviceHeartbeatOnReadyAndOnEveryTick) {
    MacShareHost::Timings timings;
    timings.heartbeat = Millis(300);
    ASSERT_NO_FATAL_FAILURE(startInProcessHost(timings));
    ASSERT_TRUE(waitFor([&] { return heartbeats().size() >= 2; }));
    inProcess->inputReady = true;
    ASSERT_TRUE(waitFor([&] {
        auto sent = heartbeats();
        auto body = parseJsonObject(sent.back().body);
        return body && field::boolean(*body, "input_ready", false);
    }));

    auto first = parseJsonObject(heartbeats().front().body);
    ASSERT_TRUE(first);
    EXPECT_EQ(field::boolean(*first, "input_ready"), false) << "the host asks inputReady for every heartbeat";
    for (const auto& request : heartbeats()) {
        SCOPED_TRACE(request.body);
        auto body = parseJsonObject(request.body);
        ASSERT_TRUE(body);
        EXPECT_EQ(body->size(), 6u);
        EXPECT_EQ(field::boolean(*body, "capture_ready"), true);
        EXPECT_TRUE(field::boolean(*body, "input_ready").has_value());
        EXPECT_EQ(field::boolean(*body, "usb_ready"), false);
        EXPECT_EQ(field::boolean(*body, "unattended"), false);
        EXPECT_EQ(field::boolean(*body, "webrtc"), true);
        EXPECT_EQ(field::string(*body, "kind"), "computer");
        EXPECT_EQ(request.header("Authorization"), "Bearer " + hostDevice.token);
        EXPECT_EQ(request.header("Content-Type"), "application/json");
    }
    // The service took it (the tap sees a request before the service has read it).
    Json device;
    EXPECT_TRUE(waitFor([&] {
        device = deviceInList(accountToken, hostDevice.id);
        const Json* capabilities = field::object(device, "capabilities");
        return capabilities && field::boolean(*capabilities, "input_ready", false);
    })) << dumpJson(device);
    EXPECT_EQ(field::boolean(device, "online"), true);
}
