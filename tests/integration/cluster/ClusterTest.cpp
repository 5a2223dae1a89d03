#include "PostgresServer.h"
#include "RedisServer.h"
#include "ServiceHarness.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace quorlinth::testing {
namespace {

using namespace std::chrono_literals;

// How long a dead node's devices may still look online: the presence entry's lifetime, plus
// room for a loaded machine.
constexpr auto kPresenceBound = 15s;
constexpr auto kSlack = 10s;

// The node whose standard output goes to `output` (each node has a folder of its own).
pid_t processWritingTo(const std::filesystem::path& output) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path() / "fd" / "1", error) == output)
            return pid_t(std::stoi(name));
    }
    return 0;
}

// Two nodes, A and B, on one PostgreSQL database and one Redis; a host device signed in through
// A and a controller through B, both of one account.
class Cluster : public ::testing::Test {
protected:
    struct Node {
        TempDir dir;
        std::unique_ptr<ServiceProcess> process;
        std::unique_ptr<HttpClient> client;
    };

    void SetUp() override {
        ASSERT_TRUE(redis.started()) << redis.failure();
        PostgresServer& postgres = sharedPostgres();
        ASSERT_TRUE(postgres.started()) << postgres.failure();
        databaseUrl = postgres.createDatabase();
        ASSERT_FALSE(databaseUrl.empty());
        ASSERT_EQ(0, addServiceUserTo(databaseUrl, shared.path() / "add-user.log", "alice", "correct horse"));
        startNode(a);
        startNode(b);
        account = signIn(*a.client);
        host = bindDevice(*a.client, account, "HOST", "书房的 Mac");
        controller = bindDevice(*b.client, account, "CONTROLLER", "笔记本");
        ASSERT_EQ(200, sendHeartbeat(*a.client, host, true, true, true).status);
        hostSocket = connect(a, host);
        controllerSocket = connect(b, controller);
    }

    void startNode(Node& node) {
        ServiceProcess::Options options;
        options.databaseUrl = databaseUrl;
        options.secretFile = shared.path() / "service.key";
        // Tests that wait for a state ask for sessions more often than a person would.
        options.extraArguments = {"--bus", redis.url(), "--set", "session_request_limit=10000"};
        node.process = std::make_unique<ServiceProcess>(node.dir, options);
        ASSERT_TRUE(node.process->started()) << node.process->logText();
        node.client = std::make_unique<HttpClient>(node.process->port());
    }

    std::string signIn(HttpClient& client) {
        HttpReply reply = client.request("POST", "/v1/auth/login", "",
                                         Json{{"username", "alice"}, {"password", "correct horse"}});
        EXPECT_EQ(200, reply.status) << reply.body;
        return field::string(reply.json(), "access_token", "");
    }

    std::unique_ptr<SignalClient> connect(Node& node, const BoundDevice& device) {
        auto socket = SignalClient::connect(node.process->port(), device.token, device.id);
        EXPECT_NE(nullptr, socket);
        if (socket) EXPECT_TRUE(socket->receiveType("ready").has_value());
        return socket;
    }

    HttpReply requestSession(Node& through) {
        return through.client->request("POST", "/v1/sessions", account,
                                       Json{{"device_id", host.id}, {"controller_id", controller.id}});
    }

    // Asks through `through` until the answer has `status` (and `error`), for up to `wait`; the
    // last answer.
    HttpReply requestSessionUntil(Node& through, int status, const std::string& error,
                                  std::chrono::seconds wait) {
        HttpReply reply;
        for (auto deadline = std::chrono::steady_clock::now() + wait;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(250ms)) {
            reply = requestSession(through);
            if (reply.status == status && reply.error() == error) break;
            if (reply.status == 200) endSession(field::string(reply.json(), "session_id", ""));
        }
        return reply;
    }

    void endSession(const std::string& sessionId) {
        controllerSocket->send(Json{{"type", "end"}, {"session_id", sessionId}});
        hostSocket->receiveType("end");
    }

    // A session requested through `through`, accepted by the host; its id.
    std::string acceptedSession(Node& through) {
        HttpReply reply = requestSession(through);
        EXPECT_EQ(200, reply.status) << reply.body;
        std::string id = field::string(reply.json(), "session_id", "");
        auto request = hostSocket->receiveType("request");
        EXPECT_TRUE(request.has_value());
        if (request) EXPECT_EQ(id, field::string(*request, "session_id", ""));
        hostSocket->send(Json{{"type", "accept"}, {"session_id", id}});
        EXPECT_TRUE(controllerSocket->receiveType("accepted").has_value());
        return id;
    }

    RedisServer redis;
    TempDir shared;
    std::string databaseUrl;
    Node a, b;
    std::string account;
    BoundDevice host, controller;
    std::unique_ptr<SignalClient> hostSocket, controllerSocket;
};

TEST_F(Cluster, EveryMessageTypeCrossesBetweenNodesBothWays) {
    // Requested through the controller's node; the host's node sends the request.
    HttpReply reply = requestSession(b);
    ASSERT_EQ(200, reply.status) << reply.body;
    std::string id = field::string(reply.json(), "session_id", "");
    auto request = hostSocket->receiveType("request");
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(id, field::string(*request, "session_id", ""));
    EXPECT_EQ(controller.id, field::string(*request, "controller_id", ""));
    EXPECT_EQ("笔记本", field::string(*request, "name", ""));

    controllerSocket->send(Json{{"type", "ice"}, {"session_id", id}, {"candidate", "early"}});
    hostSocket->send(Json{{"type", "accept"}, {"session_id", id}});
    EXPECT_TRUE(controllerSocket->receiveType("accepted").has_value());
    auto held = hostSocket->receiveType("ice");
    ASSERT_TRUE(held.has_value());
    EXPECT_EQ("early", field::string(*held, "candidate", ""));

    struct Relay {
        const char* name;
        bool fromController;
        Json message;
    } relays[] = {
        {"offer", true, {{"type", "offer"}, {"session_id", id}, {"sdp", "v=0 offer"}}},
        {"answer", false, {{"type", "answer"}, {"session_id", id}, {"sdp", "v=0 answer"}}},
        {"host ice", false, {{"type", "ice"}, {"session_id", id}, {"candidate", "h1"}, {"sdp_mid", "0"}}},
        {"controller ice",
         true,
         {{"type", "ice"},
          {"session_id", id},
          {"candidate", "c1"},
          {"sdp_mid", "0"},
          {"sdp_mline_index", 0}}},
    };
    for (const Relay& relay : relays) {
        SCOPED_TRACE(relay.name);
        auto& sender = relay.fromController ? controllerSocket : hostSocket;
        auto& reader = relay.fromController ? hostSocket : controllerSocket;
        sender->send(relay.message);
        auto received = reader->receiveType(field::string(relay.message, "type", ""));
        ASSERT_TRUE(received.has_value());
        EXPECT_EQ(relay.message, *received);
    }

    controllerSocket->send(Json{{"type", "end"}, {"session_id", id}});
    auto ended = hostSocket->receiveType("end");
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(id, field::string(*ended, "session_id", ""));

    // Requested through the host's node this time; the host ends it.
    std::string second = acceptedSession(a);
    HttpReply busy = requestSession(b);
    EXPECT_EQ(409, busy.status);
    EXPECT_EQ("device_busy", busy.error());
    hostSocket->send(Json{{"type", "end"}, {"session_id", second}});
    auto hostEnded = controllerSocket->receiveType("end");
    ASSERT_TRUE(hostEnded.has_value());
    EXPECT_EQ(second, field::string(*hostEnded, "session_id", ""));
    EXPECT_EQ("host_ended", field::string(*hostEnded, "reason", ""));

    // A dropped socket ends the session on the other node.
    std::string third = acceptedSession(b);
    hostSocket->close();
    auto closed = controllerSocket->receiveType("end");
    ASSERT_TRUE(closed.has_value());
    EXPECT_EQ(third, field::string(*closed, "session_id", ""));
    EXPECT_EQ("signal_closed", field::string(*closed, "reason", ""));
}

TEST_F(Cluster, TheHostsNextSessionOpensAsSoonAsTheEndIsHeard) {
    // Each end is followed at once by a request through the node named, the way a person who
    // reconnects would; the host must not still look busy there.
    struct Case {
        const char* name;
        bool hostEnds;
        Node* next;
    } cases[] = {
        {"host ends, next through the controller's node", true, &b},
        {"host ends, next through the host's node", true, &a},
        {"controller ends, next through the host's node", false, &a},
    };
    std::string id = acceptedSession(b);
    for (int round = 0; round < 5; ++round) {
        for (const Case& step : cases) {
            SCOPED_TRACE(step.name);
            auto& ender = step.hostEnds ? hostSocket : controllerSocket;
            auto& hearer = step.hostEnds ? controllerSocket : hostSocket;
            ender->send(Json{{"type", "end"}, {"session_id", id}});
            ASSERT_TRUE(hearer->receiveType("end").has_value());
            id = acceptedSession(*step.next);
            ASSERT_FALSE(HasFailure());
        }
    }
}

TEST_F(Cluster, AKilledNodesDevicesGoOfflineWithinTheirLifetime) {
    acceptedSession(b); // the host's session, too, is held by the node about to die
    pid_t nodeA = processWritingTo(a.dir.path() / "service.out");
    ASSERT_GT(nodeA, 0);
    ASSERT_EQ(0, kill(nodeA, SIGKILL));
    auto killed = std::chrono::steady_clock::now();
    HttpReply reply = requestSessionUntil(b, 409, "device_offline", kPresenceBound + kSlack);
    auto offlineAfter = std::chrono::steady_clock::now() - killed;
    EXPECT_EQ("device_offline", reply.error()) << reply.body;
    EXPECT_LT(offlineAfter, kPresenceBound + kSlack);
    std::printf("host offline %.1f s after its node was killed\n",
                std::chrono::duration<double>(offlineAfter).count());
}

TEST_F(Cluster, RelayWorksAgainOnceRedisIsBack) {
    redis.stop();
    // Each node still serves its own sockets.
    EXPECT_EQ(200, sendHeartbeat(*a.client, host, true, true, true).status);
    ASSERT_TRUE(redis.start()) << redis.failure();
    // The nodes reconnect and write their devices again.
    HttpReply reply = requestSessionUntil(b, 200, "", 30s);
    ASSERT_EQ(200, reply.status) << reply.body;
    std::string id = field::string(reply.json(), "session_id", "");
    ASSERT_TRUE(hostSocket->receiveType("request").has_value());
    hostSocket->send(Json{{"type", "accept"}, {"session_id", id}});
    ASSERT_TRUE(controllerSocket->receiveType("accepted").has_value());
    controllerSocket->send(Json{{"type", "offer"}, {"session_id", id}, {"sdp", "after the outage"}});
    auto offer = hostSocket->receiveType("offer");
    ASSERT_TRUE(offer.has_value());
    EXPECT_EQ("after the outage", field::string(*offer, "sdp", ""));

    for (Node* node : {&a, &b}) {
        std::string log = node->process->logText();
        EXPECT_NE(std::string::npos, log.find("signaling bus: lost Redis")) << log;
        EXPECT_NE(std::string::npos, log.find("signaling bus: reconnected to Redis")) << log;
    }
}

} // namespace
} // namespace quorlinth::testing
