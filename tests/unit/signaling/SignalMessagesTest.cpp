#include "signaling/SignalMessages.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(SignalingURL, ReplacesTheSchemeAndAppendsThePath) {
    struct Case {
        const char* base;
        std::optional<std::string> url;
    };
    const Case cases[] = {
        {"https://q.example", "wss://q.example/v1/signal"},
        {"http://127.0.0.1:4000", "ws://127.0.0.1:4000/v1/signal"},
        {"127.0.0.1:4000", "ws://127.0.0.1:4000/v1/signal"},
        {"ftp://host", "ws://host/v1/signal"},
        {"", std::nullopt},
        {"https://", std::nullopt},
        {"https://bad host", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        EXPECT_EQ(signalingURL(c.base), c.url);
    }
}

TEST(SignalRequest, ReadsFieldsWithDefaults) {
    auto full = parseSignalRequest(Json::parse(R"({"type":"request","session_id":"s1","controller_id":"C",
        "name":"书房","ice_servers":[{"urls":["stun:127.0.0.1:3478"]}]})"));
    EXPECT_EQ(full.sessionID, "s1");
    EXPECT_EQ(full.controllerID, "C");
    EXPECT_EQ(full.name, "书房");
    EXPECT_FALSE(full.guest);
    ASSERT_EQ(full.iceServers.size(), 1u);

    auto bare = parseSignalRequest(Json::parse(R"({"type":"request","session_id":"s2","name":7})"));
    EXPECT_EQ(bare.name, "远程设备");
    EXPECT_EQ(bare.controllerID, "");
    EXPECT_TRUE(bare.iceServers.empty());

    auto guest = parseSignalRequest(
        Json::parse(R"({"type":"request","session_id":"s3","controller_id":"C","guest":true})"));
    EXPECT_TRUE(guest.guest);
    EXPECT_EQ(guest.controllerID, ""); // a guest never carries a controller identity
}

TEST(IceServers, SkipsEntriesWithoutAListOfStrings) {
    auto servers = parseIceServers(Json::parse(R"({"ice_servers":[
        {"urls":["stun:127.0.0.1:3478"]},
        {"urls":"turn:127.0.0.1:3478"},
        {"username":"u"},
        {"urls":["turn:127.0.0.1:3478", 5]},
        {"urls":["turn:127.0.0.1:3478?transport=tcp"],"username":"1700000000:dev","credential":"c2VjcmV0"},
        7
    ]})"));
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0], (RTCIceServer{{"stun:127.0.0.1:3478"}, std::nullopt, std::nullopt}));
    EXPECT_EQ(servers[1],
              (RTCIceServer{{"turn:127.0.0.1:3478?transport=tcp"}, "1700000000:dev", "c2VjcmV0"}));
    EXPECT_TRUE(parseIceServers(Json::parse(R"({"ice_servers":{}})")).empty());
}

TEST(RelaySummary, ListsTurnAddressesWithTheirTransport) {
    struct Case {
        std::vector<RTCIceServer> servers;
        const char* summary;
    };
    const Case cases[] = {
        {{}, "无（只能直连）"},
        {{{{"stun:127.0.0.1:3478"}, {}, {}}}, "无（只能直连）"},
        {{{{"turn:relay.test:3478?transport=tcp"}, "u", "c"}}, "relay.test:3478/tcp"},
        {{{{"stun:127.0.0.1:3478", "turn:127.0.0.1:3478"}, {}, {}},
          {{"turns:relay.test:5349?transport=tcp"}, {}, {}}},
         "127.0.0.1:3478/udp, relay.test:5349/tcp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.summary);
        EXPECT_EQ(relaySummary(c.servers), c.summary);
    }
}

TEST(IceCandidateMessage, ReadsIndexAndMidWithDefaults) {
    struct Case {
        const char* json;
        std::optional<IceCandidate> expected;
    };
    const Case cases[] = {
        {R"({"candidate":"candidate:1","sdp_mid":"0","sdp_mline_index":1})",
         IceCandidate{"candidate:1", "0", 1}},
        {R"({"candidate":"candidate:1"})", IceCandidate{"candidate:1", std::nullopt, 0}},
        {R"({"candidate":"candidate:1","sdp_mid":3,"sdp_mline_index":"1"})",
         IceCandidate{"candidate:1", std::nullopt, 0}},
        {R"({"candidate":"candidate:1","sdp_mline_index":-2147483648})",
         IceCandidate{"candidate:1", std::nullopt, INT32_MIN}},
        {R"({"candidate":"candidate:1","sdp_mline_index":2147483648})", std::nullopt},
        {R"({"sdp_mid":"0"})", std::nullopt},
        {R"({"candidate":42})", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(parseIceCandidate(Json::parse(c.json)), c.expected);
    }
}

TEST(SignalBuilders, WriteTheEnvelope) {
    EXPECT_EQ(makeSignal("accept", "s1"), Json::parse(R"({"type":"accept","session_id":"s1"})"));
    EXPECT_EQ(makeSdpSignal("answer", "s1", "v=0"),
              Json::parse(R"({"type":"answer","session_id":"s1","sdp":"v=0"})"));
    EXPECT_EQ(makeIceSignal("s1", {"candidate:1", std::nullopt, 0}),
              Json::parse(R"({"type":"ice","session_id":"s1","candidate":"candidate:1","sdp_mid":"",
                              "sdp_mline_index":0})"));
    EXPECT_EQ(signalType(Json::parse(R"({"type":5})")), "");
    EXPECT_EQ(signalSessionID(Json::parse(R"({"session_id":5})")), std::nullopt);
}

TEST(SessionCreationReply, ViewOnlyDefaultsToPhonesThatOnlyBroadcast) {
    auto ios = parseSessionCreationReply(Json::parse(R"({"device":{"platform":"ios","name":"手机"}})"));
    EXPECT_TRUE(ios.viewOnly);
    EXPECT_FALSE(ios.sessionID);
    auto mac = parseSessionCreationReply(
        Json::parse(R"({"session_id":"s9","device":{"platform":"macos","name":"书房"}})"));
    EXPECT_FALSE(mac.viewOnly);
    EXPECT_EQ(mac.sessionID, "s9");
    auto forced =
        parseSessionCreationReply(Json::parse(R"({"device":{"platform":"ios"},"view_only":false})"));
    EXPECT_FALSE(forced.viewOnly);
}

TEST(SessionCreationErrors, OnlyTransientCodesAreRetried) {
    for (const char* code : {"device_offline", "media_not_ready", "device_busy"})
        EXPECT_TRUE(isRetryableSessionError(code));
    for (const char* code :
         {"pairing_invalid", "pairing_locked", "controller_not_ready", "rate_limited", "same_device", ""})
        EXPECT_FALSE(isRetryableSessionError(code)) << code;
}
