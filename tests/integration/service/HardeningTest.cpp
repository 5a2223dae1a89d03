#include "ServiceFixture.h"

#include <atomic>
#include <boost/asio.hpp>
#include <thread>

namespace quorlinth::testing {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

std::string statusLineOf(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

// Plain connections the test holds open, each proven accepted by one answered request.
class HeldConnections {
public:
    explicit HeldConnections(uint16_t port) : port(port) {}

    // True when the service accepted the connection and answered on it within `wait`.
    bool open(std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        auto socket = std::make_unique<tcp::socket>(io);
        boost::system::error_code error;
        socket->connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), error);
        if (error) return false;
        net::write(*socket, net::buffer(std::string("GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n")), error);
        std::string answer;
        net::async_read_until(*socket, net::dynamic_buffer(answer), "}",
                              [](boost::system::error_code, size_t) {});
        io.restart();
        if (io.run_for(wait) == 0 || !io.stopped()) {
            socket->cancel(); // still waiting in the backlog
            io.restart();
            io.run();
        }
        sockets.push_back(std::move(socket));
        return answer.rfind("HTTP/1.1 200", 0) == 0;
    }
    void closeAll() { sockets.clear(); }

private:
    uint16_t port;
    net::io_context io;
    std::vector<std::unique_ptr<tcp::socket>> sockets;
};

std::string uploadHead(const std::string& token, size_t length, const std::string& extra = "") {
    return "POST /v1/diagnostics HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" +
           (token.empty() ? std::string() : "Authorization: Bearer " + token + "\r\n") + extra +
           "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

std::string uploadBody(size_t textBytes) {
    return dumpJson(
        Json{{"platform", "linux"}, {"build", "1"}, {"device", "d"}, {"text", std::string(textBytes, 'x')}});
}

using ServiceUnderLoad = TunedServiceTest;

TEST_F(ServiceUnderLoad, RefusalsOfAFullQueueAreHeldBackWhileHealthAnswers) {
    startTuned({"--set", "hash_threads=1", "--set", "hash_queue=1", "--set", "busy_answer_delay_ms=800",
                "--set", "login_attempts_per_address=1000", "--set", "login_failures_per_address=1000"},
               false);
    std::vector<std::chrono::steady_clock::duration> took(12);
    std::thread flood([&] {
        auto replies = concurrently(12, [&](int i) {
            auto start = std::chrono::steady_clock::now();
            HttpReply reply =
                client->request("POST", "/v1/auth/login", "",
                                Json{{"username", "nobody-" + std::to_string(i)}, {"password", "guess"}});
            took[size_t(i)] = std::chrono::steady_clock::now() - start;
            return reply;
        });
        int refusals = 0;
        for (size_t i = 0; i < replies.size(); ++i) {
            if (replies[i].error() != "service_busy") continue;
            ++refusals;
            EXPECT_GE(took[i], std::chrono::milliseconds(790)) << "a refusal went out before its pause";
        }
        EXPECT_GT(refusals, 0) << "one hashing thread and one queued job cannot take 12 at once";
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the refusals are being held
    EXPECT_EQ(200, client->request("GET", "/v1/health").status);
    flood.join();
}

TEST_F(ServiceUnderLoad, BogusSignInsGetQuickRefusalsWhileHealthStaysUp) {
    startTuned({"--set", "hash_threads=1", "--set", "hash_queue=2", "--set",
                "login_attempts_per_address=1000", "--set", "login_failures_per_address=1000"},
               false);
    std::atomic<bool> flooding{true};
    std::vector<int> health;
    std::thread prober([&] {
        while (flooding)
            health.push_back(client->request("GET", "/v1/health").status);
    });
    auto replies = concurrently(60, [&](int i) {
        return client->request("POST", "/v1/auth/login", "",
                               Json{{"username", "nobody-" + std::to_string(i)}, {"password", "guess"}});
    });
    flooding = false;
    prober.join();

    int busy = countOf(replies, 503, "service_busy");
    EXPECT_GT(busy, 0) << "one hashing thread and two queued jobs cannot take 60 at once";
    EXPECT_EQ(60, busy + countOf(replies, 401, "invalid_credentials"));
    for (const HttpReply& reply : replies) {
        if (reply.status != 503) continue;
        EXPECT_EQ("2", reply.headers.at("retry-after"));
        EXPECT_EQ(2, reply.json()["retry_after"]);
    }
    ASSERT_FALSE(health.empty());
    EXPECT_EQ(health.size(), size_t(std::count(health.begin(), health.end(), 200)));
    // Once the burst is over, the owner signs in.
    EXPECT_FALSE(signIn().empty());
}

TEST_F(ServiceUnderLoad, ConcurrentGuessesStopExactlyAtTheLimit) {
    startTuned({"--set", "hash_queue=100", "--set", "login_failures_per_account_address=10"});
    auto replies = concurrently(30, [&](int) {
        return client->request("POST", "/v1/auth/login", "",
                               Json{{"username", kUser}, {"password", "wrong"}});
    });
    EXPECT_EQ(10, countOf(replies, 401, "invalid_credentials"));
    EXPECT_EQ(20, countOf(replies, 429, "rate_limited"));
}

using SecretsAtRest = TunedServiceTest;

TEST_F(SecretsAtRest, SignInReplacesAnOlderPasswordHashWithTheCurrentOne) {
    startTuned({}, false); // the account was added with the cheap development cost
    auto storedHash = [&] {
        ProgramRun run = runProgram({"sqlite3", (dir.path() / "service.sqlite").string(),
                                     "SELECT password_hash FROM users WHERE username = 'alice'"});
        return run.out.substr(0, run.out.find('\n'));
    };
    EXPECT_EQ(0u, storedHash().rfind("$argon2id$v=19$m=1024,t=1,p=1$", 0)) << storedHash();
    EXPECT_EQ(401,
              client->request("POST", "/v1/auth/login", "", Json{{"username", kUser}, {"password", "wrong"}})
                  .status);
    EXPECT_EQ(0u, storedHash().rfind("$argon2id$v=19$m=1024,", 0)) << "a wrong password changes nothing";
    EXPECT_FALSE(signIn().empty());
    EXPECT_EQ(0u, storedHash().rfind("$argon2id$v=19$m=19456,t=2,p=1$", 0)) << storedHash();
    EXPECT_FALSE(signIn().empty()) << "the new hash verifies";
}

class SignInLimits : public TunedServiceTest {
protected:
    // A password sign-in as seen from `address` through the trusted proxy on 127.0.0.1.
    HttpReply loginFrom(const std::string& address, const std::string& name, const std::string& password) {
        return client->request("POST", "/v1/auth/login", "", Json{{"username", name}, {"password", password}},
                               {{"X-Forwarded-For", "203.0.113.77, " + address}});
    }
};

TEST_F(SignInLimits, AGuesserIsStoppedWithoutLockingTheOwnerOut) {
    startTuned({"--trusted-proxy", "127.0.0.1", "--set", "login_failures_per_account_address=4"});
    // Name and phone number are one account.
    for (const char* name : {kUser, kPhone, kUser, kPhone})
        EXPECT_EQ(401, loginFrom("10.0.0.1", name, "guess").status);
    HttpReply stopped = loginFrom("10.0.0.1", kUser, kPassword);
    EXPECT_EQ(429, stopped.status);
    EXPECT_EQ("rate_limited", stopped.error());
    EXPECT_GT(std::stoi(stopped.headers["retry-after"]), 0);
    EXPECT_EQ(200, loginFrom("10.0.0.2", kUser, kPassword).status) << "the owner elsewhere is not locked out";
}

TEST_F(SignInLimits, GuessesFromManyAddressesGetGrowingDelaysNotALockout) {
    startTuned({"--trusted-proxy", "127.0.0.1", "--set", "login_failures_per_account=3"});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(401, loginFrom("10.0.1." + std::to_string(i), kUser, "guess").status);
    HttpReply waiting = loginFrom("10.0.2.1", kUser, kPassword);
    EXPECT_EQ(429, waiting.status);
    EXPECT_EQ(1, waiting.json()["retry_after"]);
    advanceClock(1);
    EXPECT_EQ(401, loginFrom("10.0.1.9", kUser, "guess").status);
    EXPECT_EQ(2, loginFrom("10.0.2.1", kUser, kPassword).json()["retry_after"]) << "the pause doubles";
    advanceClock(2);
    EXPECT_EQ(200, loginFrom("10.0.2.1", kUser, kPassword).status);
}

TEST_F(SignInLimits, SprayingNamesFromOneAddressIsLimited) {
    startTuned({"--trusted-proxy", "127.0.0.1", "--set", "login_failures_per_address=5"});
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(401, loginFrom("10.0.3.1", "user" + std::to_string(i), "guess").status);
    EXPECT_EQ(429, loginFrom("10.0.3.1", "user9", "guess").status);
    EXPECT_EQ(200, loginFrom("10.0.3.2", kUser, kPassword).status);
}

TEST_F(SignInLimits, ForwardedAddressesAreIgnoredWithoutATrustedProxy) {
    startTuned({"--set", "login_failures_per_account_address=3"});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(401, loginFrom("10.0.4." + std::to_string(i), kUser, "guess").status);
    EXPECT_EQ(429, loginFrom("10.0.4.9", kUser, kPassword).status) << "all of them came from 127.0.0.1";
}

class TokenLimits : public OnEachStorage<TunedServiceTest> {
protected:
    std::unique_ptr<SignalClient> connect(const BoundDevice& device) {
        auto socket = SignalClient::connect(tuned->port(), device.token, device.id);
        EXPECT_NE(nullptr, socket);
        if (socket) EXPECT_TRUE(socket->receiveType("ready").has_value());
        return socket;
    }
    HttpReply renew(const BoundDevice& device) {
        return client->request("POST", "/v1/devices/" + device.id + "/renew", device.token, Json::object());
    }
    int devicesStatus(const std::string& token) {
        return client->request("GET", "/v1/devices", token).status;
    }
};

TEST_P(TokenLimits, RenewalsAndLiveAccountTokensAreBounded) {
    startTuned({"--set", "renewals_per_device=3", "--set", "account_tokens_per_user=3"});
    std::string first = signIn();
    BoundDevice mac = bind(first, "MAC");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(200, renew(mac).status);
    EXPECT_EQ("rate_limited", renew(mac).error());
    EXPECT_EQ(401, devicesStatus(first)) << "three newer account tokens pushed the first one out";
    std::string newest = signIn();
    EXPECT_EQ(200, devicesStatus(newest));
}

TEST_P(TokenLimits, DeviceTokensExpireWhenUnusedAndLastWhileUsed) {
    startTuned({"--set", "device_token_idle_lifetime=100"});
    BoundDevice mac = bind(signIn(), "MAC");
    advanceClock(60);
    EXPECT_EQ(200, heartbeat(mac, true, true, true).status);
    advanceClock(60);
    EXPECT_EQ(200, heartbeat(mac, true, true, true).status) << "the use at 60 s moved the expiry on";
    advanceClock(101);
    EXPECT_EQ("unauthorized_device", heartbeat(mac, true, true, true).error());
    EXPECT_EQ(nullptr, SignalClient::connect(tuned->port(), mac.token, mac.id));
}

TEST_P(TokenLimits, SigningOutEverywhereEndsEveryTokenAndSocket) {
    startTuned({});
    std::string token = signIn(), other = signIn();
    BoundDevice mac = bind(token, "MAC");
    auto socket = connect(mac);
    ASSERT_EQ(200, client->request("POST", "/v1/auth/logout-all", token, Json::object()).status);
    EXPECT_TRUE(socket->waitClosed());
    EXPECT_EQ(401, devicesStatus(token));
    EXPECT_EQ(401, devicesStatus(other));
    EXPECT_EQ("unauthorized_device", renew(mac).error());
}

TEST_P(TokenLimits, BindingAgainClosesTheSocketOfTheReplacedToken) {
    startTuned({});
    std::string token = signIn();
    BoundDevice old = bind(token, "MAC");
    auto socket = connect(old);
    BoundDevice fresh = bind(token, "MAC");
    ASSERT_EQ(old.id, fresh.id);
    EXPECT_TRUE(socket->waitClosed());
    EXPECT_EQ(nullptr, SignalClient::connect(tuned->port(), old.token, old.id));
    EXPECT_NE(nullptr, connect(fresh));
}

using UnauthenticatedLoad = TunedServiceTest;

TEST_F(UnauthenticatedLoad, AnonymousUploadsAreRefusedBeforeTheirBody) {
    startTuned({});
    std::vector<std::string> answers(150);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < answers.size(); ++i)
        threads.emplace_back([&, i] {
            // Headers only: the service must answer without waiting for the 2 MB it was promised.
            std::string extra = i % 2 ? "Expect: 100-continue\r\n" : "";
            answers[i] = client->rawExchange(uploadHead(i % 3 ? "" : "qa_forged", 2'000'000, extra));
        });
    for (auto& thread : threads)
        thread.join();
    for (const std::string& answer : answers)
        EXPECT_EQ("HTTP/1.1 401 Unauthorized", statusLineOf(answer)) << answer.substr(0, 200);
    EXPECT_EQ(200, client->request("GET", "/v1/health").status);
}

TEST_F(UnauthenticatedLoad, ConnectionsPerAddressAreCapped) {
    startTuned({"--set", "max_connections_per_address=10"});
    HeldConnections held(tuned->port());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(held.open());
    std::string refused = client->rawExchange("GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable", statusLineOf(refused));
    EXPECT_NE(std::string::npos, refused.find("too_many_connections"));
    held.closeAll();
    HttpReply health;
    for (int i = 0; i < 50 && health.status != 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the service sees the closes
        health = client->request("GET", "/v1/health");
    }
    EXPECT_EQ(200, health.status);
}

TEST_F(UnauthenticatedLoad, BodiesInFlightShareOneBudget) {
    startTuned({"--set", "body_bytes_in_flight=150000"});
    std::string token = signIn();
    std::string body = uploadBody(100'000);
    net::io_context io;
    tcp::socket first(io);
    first.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), tuned->port()));
    net::write(first, net::buffer(uploadHead(token, body.size(), "Expect: 100-continue\r\n")));
    std::string interim;
    net::read_until(first, net::dynamic_buffer(interim), "\r\n\r\n");
    ASSERT_EQ("HTTP/1.1 100 Continue", statusLineOf(interim)) << "the first body is welcome";

    std::string second = client->rawExchange(uploadHead(token, body.size()) + body);
    EXPECT_EQ("HTTP/1.1 503 Service Unavailable", statusLineOf(second));
    EXPECT_NE(std::string::npos, second.find("service_busy"));

    net::write(first, net::buffer(body));
    std::string answer;
    boost::system::error_code error;
    net::read(first, net::dynamic_buffer(answer), error);
    EXPECT_EQ("HTTP/1.1 200 OK", statusLineOf(answer)) << answer.substr(0, 300);
    EXPECT_EQ("HTTP/1.1 200 OK", statusLineOf(client->rawExchange(uploadHead(token, body.size()) + body)))
        << "the budget is free again";
}

TEST_F(UnauthenticatedLoad, RunningOutOfDescriptorsIsLoggedOnceAndOutlived) {
    startTuned({}, true, {"prlimit", "--nofile=48:48", "--"});
    HeldConnections held(tuned->port());
    int accepted = 0;
    for (int i = 0; i < 60; ++i)
        accepted += held.open(std::chrono::milliseconds(200)) ? 1 : 0;
    EXPECT_LT(accepted, 60) << "the descriptor limit did not bite";
    // A few accept retries pass while the connections stay open.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    held.closeAll();
    HttpReply health;
    for (int i = 0; i < 100 && health.status != 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        health = client->request("GET", "/v1/health");
    }
    EXPECT_EQ(200, health.status);
    EXPECT_TRUE(tuned->isRunning());
    std::string log = tuned->logText();
    size_t first = log.find("cannot accept connections");
    ASSERT_NE(std::string::npos, first) << log.substr(0, 2000);
    EXPECT_EQ(std::string::npos, log.find("cannot accept connections", first + 1)) << "logged once";
}

class SignalingLimits : public TunedServiceTest {
protected:
    void startWith(const std::vector<std::string>& arguments) {
        startTuned(arguments);
        account = signIn();
        host = bind(account, "HOST", "书房的 Mac");
        controller = bind(account, "CONTROLLER", "笔记本");
        ASSERT_EQ(200, heartbeat(host, true, true, true).status);
    }

    std::unique_ptr<SignalClient> connect(const BoundDevice& device) {
        auto socket = SignalClient::connect(tuned->port(), device.token, device.id);
        EXPECT_NE(nullptr, socket);
        if (socket) EXPECT_TRUE(socket->receiveType("ready").has_value());
        return socket;
    }

    // Requests a session and waits for the host to hear of it; its id.
    std::string requestSession(SignalClient& hostSocket) {
        HttpReply created = client->request("POST", "/v1/sessions", account,
                                            Json{{"device_id", host.id}, {"controller_id", controller.id}});
        EXPECT_EQ(200, created.status) << created.body;
        EXPECT_TRUE(hostSocket.receiveType("request").has_value());
        return field::string(created.json(), "session_id", "");
    }

    static Json ice(const std::string& sessionId, const std::string& candidate) {
        return Json{{"type", "ice"}, {"session_id", sessionId}, {"candidate", candidate}};
    }

    std::string account;
    BoundDevice host, controller;
};

TEST_F(SignalingLimits, TheHostHearsNothingBeforeItAcceptsThenTheHeldCandidatesInOrder) {
    startWith({});
    auto hostSocket = connect(host);
    auto controllerSocket = connect(controller);
    std::string id = requestSession(*hostSocket);
    for (int i = 0; i < 40; ++i)
        controllerSocket->send(ice(id, "c" + std::to_string(i)));
    controllerSocket->send(Json{{"type", "offer"}, {"session_id", id}, {"sdp", "too early"}});
    EXPECT_EQ(std::nullopt, hostSocket->receive(std::chrono::milliseconds(300)));

    hostSocket->send(Json{{"type", "accept"}, {"session_id", id}});
    ASSERT_TRUE(controllerSocket->receiveType("accepted").has_value());
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(ice(id, "c" + std::to_string(i)), hostSocket->receive().value_or(Json()));
    controllerSocket->send(ice(id, "late"));
    EXPECT_EQ(ice(id, "late"), hostSocket->receive().value_or(Json()))
        << "the held ones beyond 32 were dropped";
}

TEST_F(SignalingLimits, ASocketSendingTooFastIsClosedForPolicy) {
    startWith({"--set", "signal_frame_burst=20", "--set", "signal_frames_per_second=1"});
    auto flooder = connect(host);
    auto other = connect(controller);
    for (int i = 0; i < 60; ++i)
        flooder->sendText("{}");
    ASSERT_TRUE(flooder->waitClosed(std::chrono::seconds(10)));
    EXPECT_EQ(1008, flooder->closeCode());
    EXPECT_FALSE(other->waitClosed(std::chrono::milliseconds(100)));
}

TEST_F(SignalingLimits, ASenderOutpacingItsReaderIsClosedAndTheReaderKept) {
    startWith({"--set", "signal_outbox_bytes=65536", "--set", "signal_bytes_per_second=1000000000", "--set",
               "signal_byte_burst=1000000000", "--set", "signal_frames_per_second=100000", "--set",
               "signal_frame_burst=100000"});
    // The host completes the handshake and then never reads again.
    net::io_context io;
    tcp::socket stuckHost(io);
    stuckHost.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), tuned->port()));
    net::write(stuckHost,
               net::buffer("GET /v1/signal HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nAuthorization: Bearer " +
                           host.token + "\r\nX-Device-ID: " + host.id + "\r\n\r\n"));
    std::string handshake;
    net::read_until(stuckHost, net::dynamic_buffer(handshake), "\r\n\r\n");
    ASSERT_EQ("HTTP/1.1 101 Switching Protocols", statusLineOf(handshake));
    // The upgrade's answer goes out just before the hub lists the socket.
    for (int i = 0; i < 500 && !deviceInList(account, host.id).value("online", false); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    auto controllerSocket = connect(controller);
    HttpReply created = client->request("POST", "/v1/sessions", account,
                                        Json{{"device_id", host.id}, {"controller_id", controller.id}});
    ASSERT_EQ(200, created.status) << created.body;
    std::string id = field::string(created.json(), "session_id", "");
    // The request is written to the host's socket; its accept still needs one frame from it.
    uint8_t mask[4] = {1, 2, 3, 4};
    std::string accept = dumpJson(Json{{"type", "accept"}, {"session_id", id}});
    std::string frame = {char(0x81), char(0x80 | accept.size())};
    frame.append(reinterpret_cast<char*>(mask), 4);
    for (size_t i = 0; i < accept.size(); ++i)
        frame += char(accept[i] ^ mask[i % 4]);
    ASSERT_LT(accept.size(), 126u);
    net::write(stuckHost, net::buffer(frame));
    ASSERT_TRUE(controllerSocket->receiveType("accepted").has_value());

    std::string large(60000, 'x');
    for (int i = 0; i < 600 && !controllerSocket->waitClosed(std::chrono::milliseconds(0)); ++i)
        controllerSocket->send(ice(id, large));
    ASSERT_TRUE(controllerSocket->waitClosed(std::chrono::seconds(20)));
    EXPECT_EQ(1008, controllerSocket->closeCode());

    // The host is still there: a new session reaches it (busy or not, it is online).
    auto again = connect(controller);
    HttpReply next = client->request("POST", "/v1/sessions", account,
                                     Json{{"device_id", host.id}, {"controller_id", controller.id}});
    EXPECT_EQ(200, next.status) << next.body;
}

// Tokens are kept in the database: their limits hold on both engines. (The sign-in counters'
// sharing across PostgreSQL nodes has a test of its own, beside the storage's.)
INSTANTIATE_TEST_SUITE_P(Backend, TokenLimits, kEachStorage, storageName);

} // namespace
} // namespace quorlinth::testing
