#include "SignalHub.h"

#include <algorithm>
#include <deque>
#include <functional>
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

// Stands in for Redis: the shared entries and the messages in flight between nodes, delivered
// when the test pumps them (as the bus's own thread would, outside the sender's lock).
struct FakeCluster {
    std::map<std::string, std::string> deviceNodes, hostSessions;
    std::map<std::string, std::function<void(const std::string&)>> receivers;
    std::deque<std::pair<std::string, std::string>> inFlight;

    void pump() {
        while (!inFlight.empty()) {
            auto [node, message] = inFlight.front();
            inFlight.pop_front();
            if (auto receiver = receivers.find(node); receiver != receivers.end()) receiver->second(message);
        }
    }
};

class FakeBus : public SignalBus {
public:
    FakeBus(FakeCluster& cluster, std::string node) : cluster(cluster), node(std::move(node)) {}

    const std::string& nodeId() const override { return node; }
    void start(std::function<void(const std::string&)> receive) override {
        cluster.receivers[node] = receive;
    }
    void stop() override {}
    void publish(const std::string& toNode, std::string message) override {
        cluster.inFlight.emplace_back(toNode, std::move(message));
    }
    bool publishNow(const std::string& toNode, std::string message) override {
        publish(toNode, std::move(message));
        return true;
    }
    void announce(const std::string& deviceId) override {
        std::string older = cluster.deviceNodes[deviceId];
        cluster.deviceNodes[deviceId] = node;
        if (!older.empty() && older != node)
            publish(older, dumpJson(Json{{"kind", "disconnect"}, {"device", deviceId}, {"from", node}}));
    }
    void withdraw(const std::string& deviceId) override {
        if (cluster.deviceNodes[deviceId] == node) cluster.deviceNodes.erase(deviceId);
    }
    std::optional<std::string> nodeOf(const std::string& deviceId) override {
        auto found = cluster.deviceNodes.find(deviceId);
        if (found == cluster.deviceNodes.end()) return std::nullopt;
        return found->second;
    }
    Claim claimHost(const std::string& host, const std::string& session) override {
        return cluster.hostSessions.emplace(host, session).second ? Claim::claimed : Claim::taken;
    }
    void holdHost(const std::string& host, const std::string& session) override {
        cluster.hostSessions[host] = session;
    }
    void releaseHost(const std::string& host, const std::string& session) override {
        if (cluster.hostSessions[host] == session) cluster.hostSessions.erase(host);
    }

private:
    FakeCluster& cluster;
    std::string node;
};

// Three nodes: the host's socket on "nodea", the controller's on "nodeb", and "nodec" where
// the session request may land.
class SignalHubAcrossNodesTest : public ::testing::Test {
public:
    struct Node {
        Node(FakeCluster& cluster, const ServiceClock& clock, const ServiceSettings& settings,
             const std::string& id)
            : bus(cluster, id), hub(clock, settings) {
            hub.useBus(&bus);
        }
        FakeBus bus;
        SignalHub hub;
    };

    void SetUp() override {
        h = a.hub.attach("host", host);
        c = b.hub.attach("controller", controller);
    }

    std::string open(SignalHub& on) {
        auto session = on.openSession({"host", "controller", "笔记本", false, Json::array(), Json::array()});
        cluster.pump();
        return session ? session.value() : "";
    }
    void fromHost(const Json& message) {
        a.hub.receive(h, dumpJson(message));
        cluster.pump();
    }
    void fromController(const Json& message) {
        b.hub.receive(c, dumpJson(message));
        cluster.pump();
    }

    ServiceClock clock;
    ServiceSettings settings;
    FakeCluster cluster;
    Node a{cluster, clock, settings, "nodea"}, b{cluster, clock, settings, "nodeb"},
        other{cluster, clock, settings, "nodec"};
    std::shared_ptr<FakePeer> host = std::make_shared<FakePeer>();
    std::shared_ptr<FakePeer> controller = std::make_shared<FakePeer>();
    uint64_t h = 0, c = 0;
};

TEST_F(SignalHubAcrossNodesTest, EveryMessageTypeCrossesBetweenTheTwoNodes) {
    EXPECT_TRUE(other.hub.isConnected("host"));
    std::string id = open(other.hub);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ("request", host->last()["type"]);
    EXPECT_EQ(id, host->last()["session_id"]);
    EXPECT_EQ("controller", host->last()["controller_id"]);

    fromController({{"type", "ice"}, {"session_id", id}, {"candidate", "early"}});
    fromController({{"type", "offer"}, {"session_id", id}, {"sdp", "too early"}});
    EXPECT_EQ("request", host->last()["type"]); // held until accept, the offer dropped
    fromHost({{"type", "accept"}, {"session_id", id}});
    EXPECT_EQ("accepted", controller->last()["type"]);
    EXPECT_EQ((Json{{"type", "ice"}, {"session_id", id}, {"candidate", "early"}}), host->last());

    fromController({{"type", "offer"}, {"session_id", id}, {"sdp", "o"}, {"extra", "x"}});
    EXPECT_EQ((Json{{"type", "offer"}, {"session_id", id}, {"sdp", "o"}}), host->last());
    fromHost({{"type", "answer"}, {"session_id", id}, {"sdp", "a"}});
    EXPECT_EQ((Json{{"type", "answer"}, {"session_id", id}, {"sdp", "a"}}), controller->last());
    fromHost({{"type", "ice"}, {"session_id", id}, {"candidate", "h"}, {"sdp_mid", "0"}});
    EXPECT_EQ((Json{{"type", "ice"}, {"session_id", id}, {"candidate", "h"}, {"sdp_mid", "0"}}),
              controller->last());
    fromController({{"type", "ice"}, {"session_id", id}, {"candidate", "c"}, {"sdp_mline_index", 0}});
    EXPECT_EQ((Json{{"type", "ice"}, {"session_id", id}, {"candidate", "c"}, {"sdp_mline_index", 0}}),
              host->last());

    auto busy = b.hub.openSession({"host", "controller", "n", false, Json::array(), Json::array()});
    ASSERT_FALSE(busy.ok());
    EXPECT_EQ("device_busy", busy.error());

    fromController({{"type", "end"}, {"session_id", id}});
    EXPECT_EQ((Json{{"type", "end"}, {"session_id", id}}), host->last());
    EXPECT_FALSE(a.hub.isHosting("host"));
    EXPECT_EQ(0u, cluster.hostSessions.count("host")); // the claim went with the session
    EXPECT_FALSE(open(other.hub).empty());
}

TEST_F(SignalHubAcrossNodesTest, HowASessionEndsReachesTheOtherNode) {
    struct Case {
        const char* name;
        std::function<void(SignalHubAcrossNodesTest&, const std::string&)> end;
        bool controllerLearns; // otherwise the host does
        const char* reason;
    } cases[] = {
        {"host rejects",
         [](auto& t, auto& id) {
             t.fromHost({{"type", "reject"}, {"session_id", id}});
         },
         true, "rejected"},
        {"host ends",
         [](auto& t, auto& id) {
             t.fromHost({{"type", "end"}, {"session_id", id}});
         },
         true, "host_ended"},
        {"host socket drops",
         [](auto& t, auto&) {
             t.a.hub.detach(t.h);
             t.cluster.pump();
             t.h = t.a.hub.attach("host", t.host);
         },
         true, "signal_closed"},
        {"controller socket drops",
         [](auto& t, auto&) {
             t.b.hub.detach(t.c);
             t.cluster.pump();
             t.c = t.b.hub.attach("controller", t.controller);
         },
         false, "signal_closed"},
        {"nobody answers",
         [](auto& t, auto&) {
             t.clock.advance(t.settings.pendingSessionLifetime);
             t.a.hub.expirePending();
             t.cluster.pump();
         },
         true, "timeout"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::string id = open(other.hub);
        ASSERT_FALSE(id.empty());
        // Accepted except when the timeout is the point, so the controller's node knows the session.
        if (std::string(k.reason) != "timeout") fromHost({{"type", "accept"}, {"session_id", id}});
        k.end(*this, id);
        cluster.pump();
        auto& learner = k.controllerLearns ? controller : host;
        auto ended = std::find_if(learner->sent.rbegin(), learner->sent.rend(),
                                  [&](const Json& m) { return m["type"] == "end" && m["session_id"] == id; });
        ASSERT_NE(learner->sent.rend(), ended);
        EXPECT_EQ(k.reason, (*ended)["reason"]);
        EXPECT_FALSE(a.hub.isHosting("host"));
        EXPECT_EQ(0u, cluster.hostSessions.count("host"));
    }
}

TEST_F(SignalHubAcrossNodesTest, OnlyTheSessionsControllerReachesTheHost) {
    std::string id = open(a.hub);
    fromHost({{"type", "accept"}, {"session_id", id}});
    auto intruder = std::make_shared<FakePeer>();
    uint64_t i = other.hub.attach("intruder", intruder);
    size_t before = host->sent.size();
    other.hub.receive(i, dumpJson(Json{{"type", "ice"}, {"session_id", id}, {"candidate", "x"}}));
    cluster.pump();
    other.hub.receive(i, dumpJson(Json{{"type", "end"}, {"session_id", id}}));
    cluster.pump();
    EXPECT_EQ(before, host->sent.size());
    EXPECT_TRUE(a.hub.isHosting("host"));
    fromController({{"type", "offer"}, {"session_id", id}, {"sdp", "o"}});
    EXPECT_EQ("offer", host->last()["type"]);
}

TEST_F(SignalHubAcrossNodesTest, AReaderBehindOnOneNodeGetsTheSenderClosedOnTheOther) {
    std::string id = open(a.hub);
    fromHost({{"type", "accept"}, {"session_id", id}});
    controller->full = true;
    fromHost({{"type", "ice"}, {"session_id", id}, {"candidate", "x"}});
    EXPECT_TRUE(host->closedForPolicy);
    EXPECT_FALSE(controller->closedForPolicy);
    controller->full = false;
    host->full = true;
    fromController({{"type", "ice"}, {"session_id", id}, {"candidate", "y"}});
    EXPECT_TRUE(controller->closedForPolicy);
}

TEST_F(SignalHubAcrossNodesTest, ADeviceHasOneSocketAcrossNodes) {
    auto moved = std::make_shared<FakePeer>();
    other.hub.attach("host", moved); // the device reconnected through another node
    cluster.pump();
    EXPECT_TRUE(host->closed);
    EXPECT_EQ("nodec", cluster.deviceNodes["host"]);
    a.hub.detach(h); // the old socket's late close leaves the new entry alone
    EXPECT_EQ("nodec", cluster.deviceNodes["host"]);

    other.hub.disconnectDevice("controller"); // e.g. the device was removed through nodec
    cluster.pump();
    EXPECT_TRUE(controller->closed);
    EXPECT_FALSE(other.hub.isConnected("controller"));
}

} // namespace
} // namespace quorlinth::service
