#include "SignalHub.h"

#include <gtest/gtest.h>

namespace quorlinth::service {
namespace {

class FakePeer : public SignalPeer {
public:
    bool sendText(std::string text) override {
        if (full) return false;
        sent.push_back(*parseJsonObject(text));
        return true;
    }
    void sendControl(std::string text) override { sent.push_back(*parseJsonObject(text)); }
    void close() override { closed = true; }
    void closeForPolicy() override { closedForPolicy = true; }
    Json last() const { return sent.empty() ? Json() : sent.back(); }

    std::vector<Json> sent;
    bool full = false; // the reader is too far behind
    bool closed = false;
    bool closedForPolicy = false;
};

class SignalHubTest : public ::testing::Test {
protected:
    std::string open() {
        auto session = hub.openSession({"host", "controller", "笔记本", false, Json::array(), Json::array()});
        return session ? session.value() : "";
    }

    ServiceClock clock;
    ServiceSettings settings;
    SignalHub hub{clock, settings};
    std::shared_ptr<FakePeer> host = std::make_shared<FakePeer>();
    std::shared_ptr<FakePeer> controller = std::make_shared<FakePeer>();
};

TEST_F(SignalHubTest, ANewSocketOfTheSameDeviceReplacesTheOldOneAndEndsItsSessions) {
    uint64_t first = hub.attach("host", host);
    hub.attach("controller", controller);
    std::string id = open();
    auto replacement = std::make_shared<FakePeer>();
    hub.attach("host", replacement);
    EXPECT_TRUE(host->closed);
    EXPECT_EQ((Json{{"type", "end"}, {"session_id", id}, {"reason", "signal_closed"}}), controller->last());
    EXPECT_EQ((Json{{"type", "ready"}}), replacement->last());
    hub.detach(first); // the late close of the old socket must not unregister the new one
    EXPECT_TRUE(hub.isConnected("host"));
}

TEST_F(SignalHubTest, MessagesOfTheWrongRoleOrStateAreNotRelayed) {
    uint64_t h = hub.attach("host", host);
    uint64_t c = hub.attach("controller", controller);
    std::string id = open();
    size_t hostCount = host->sent.size(), controllerCount = controller->sent.size();
    struct Case {
        const char* name;
        uint64_t from;
        Json message;
    } cases[] = {
        {"controller accepts its own request", c, {{"type", "accept"}, {"session_id", id}}},
        {"offer before accept", c, {{"type", "offer"}, {"session_id", id}, {"sdp", "x"}}},
        {"answer before accept", h, {{"type", "answer"}, {"session_id", id}, {"sdp", "x"}}},
        {"offer without sdp", c, {{"type", "offer"}, {"session_id", id}}},
        {"ice without candidate", c, {{"type", "ice"}, {"session_id", id}}},
        {"unknown session", c, {{"type", "ice"}, {"session_id", "s_other"}, {"candidate", "x"}}},
        {"unknown type", h, {{"type", "hello"}, {"session_id", id}}},
        {"no session id", h, {{"type", "accept"}}},
        {"unknown connection", 999, {{"type", "end"}, {"session_id", id}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        hub.receive(k.from, dumpJson(k.message));
        EXPECT_EQ(hostCount, host->sent.size());
        EXPECT_EQ(controllerCount, controller->sent.size());
    }
    EXPECT_TRUE(hub.isHosting("host"));
}

TEST_F(SignalHubTest, IceIndexOutsideThirtyTwoBitsIsDropped) {
    uint64_t h = hub.attach("host", host);
    hub.attach("controller", controller);
    std::string id = open();
    hub.receive(h, dumpJson(Json{{"type", "accept"}, {"session_id", id}}));
    hub.receive(
        h, dumpJson(Json{
               {"type", "ice"}, {"session_id", id}, {"candidate", "c"}, {"sdp_mline_index", 1ll << 40}}));
    EXPECT_EQ((Json{{"type", "ice"}, {"session_id", id}, {"candidate", "c"}}), controller->last());
}

TEST_F(SignalHubTest, TheHostGetsNothingButTheRequestBeforeItAccepts) {
    uint64_t h = hub.attach("host", host);
    uint64_t c = hub.attach("controller", controller);
    std::string id = open();
    size_t before = host->sent.size();
    for (int i = 0; i < settings.signalHeldCandidates + 5; ++i)
        hub.receive(c, dumpJson(Json{{"type", "ice"}, {"session_id", id}, {"candidate", std::to_string(i)}}));
    hub.receive(c, dumpJson(Json{{"type", "offer"}, {"session_id", id}, {"sdp", "early"}}));
    EXPECT_EQ(before, host->sent.size());

    hub.receive(h, dumpJson(Json{{"type", "accept"}, {"session_id", id}}));
    ASSERT_EQ(before + size_t(settings.signalHeldCandidates), host->sent.size());
    for (int i = 0; i < settings.signalHeldCandidates; ++i)
        EXPECT_EQ(std::to_string(i), host->sent[before + size_t(i)]["candidate"]); // in order, extras dropped
    hub.receive(c, dumpJson(Json{{"type", "ice"}, {"session_id", id}, {"candidate", "late"}}));
    EXPECT_EQ("late", host->last()["candidate"]);
}

TEST_F(SignalHubTest, AReaderThatFallsBehindGetsTheSenderClosedForPolicy) {
    uint64_t h = hub.attach("host", host);
    uint64_t c = hub.attach("controller", controller);
    std::string id = open();
    hub.receive(h, dumpJson(Json{{"type", "accept"}, {"session_id", id}}));
    host->full = true;
    hub.receive(c, dumpJson(Json{{"type", "ice"}, {"session_id", id}, {"candidate", "x"}}));
    EXPECT_TRUE(controller->closedForPolicy);
    EXPECT_FALSE(host->closedForPolicy);
    EXPECT_FALSE(host->closed);
}

TEST_F(SignalHubTest, PendingSessionsExpireButAcceptedOnesStay) {
    uint64_t h = hub.attach("host", host);
    hub.attach("controller", controller);
    hub.attach("host2", std::make_shared<FakePeer>());
    std::string pending = open();
    hub.receive(h, dumpJson(Json{{"type", "accept"}, {"session_id", pending}}));
    auto second = hub.openSession({"host2", "controller", "n", false, Json::array(), Json::array()});
    ASSERT_TRUE(second.ok());
    clock.advance(settings.pendingSessionLifetime);
    hub.expirePending();
    EXPECT_TRUE(hub.isHosting("host"));
    EXPECT_FALSE(hub.isHosting("host2"));
    EXPECT_EQ((Json{{"type", "end"}, {"session_id", second.value()}, {"reason", "timeout"}}),
              controller->last());
}

} // namespace
} // namespace quorlinth::service
