#include "ServiceFixture.h"
#include "base/Encoding.h"

#include <fstream>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace quorlinth::testing {
namespace {

constexpr const char* kTurnSecret = "test-turn-secret";

std::string turnCredential(const std::string& user) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha1(), kTurnSecret, int(strlen(kTurnSecret)),
         reinterpret_cast<const unsigned char*>(user.data()), user.size(), mac, &length);
    return base64Encode(Bytes(mac, mac + length));
}

class Signaling : public OnEachStorage<ServiceTest> {
protected:
    void SetUp() override {
        std::filesystem::path iceFile = dir.path() / "ice.json";
        std::ofstream(iceFile) << dumpJson(Json{
            {"servers",
             {Json{{"urls", {"stun:127.0.0.1:3478"}}}, Json{{"urls", {"turn:127.0.0.1:3478?transport=udp"}},
                                                            {"secret", kTurnSecret},
                                                            {"ttl", 600}}}}});
        ServiceProcess::Options options;
        options.iceConfig = iceFile;
        startService(options);
        account = signIn();
        host = bind(account, "HOST", "书房的 Mac");
        controller = bind(account, "CONTROLLER", "笔记本");
    }

    std::unique_ptr<SignalClient> connect(const BoundDevice& device) {
        auto socket = SignalClient::connect(service->port(), device.token, device.id);
        EXPECT_NE(nullptr, socket);
        if (socket) {
            EXPECT_TRUE(socket->receiveType("ready").has_value());
        }
        return socket;
    }

    HttpReply requestSession(const std::string& deviceId, const std::string& controllerId) {
        return client->request("POST", "/v1/sessions", account,
                               Json{{"device_id", deviceId}, {"controller_id", controllerId}});
    }

    // Host and controller online, the host ready for media, and a session requested.
    struct Running {
        std::unique_ptr<SignalClient> host, controller;
        std::string sessionId;
        Json request;
    };

    Running startSession() {
        Running running;
        running.host = connect(host);
        running.controller = connect(controller);
        EXPECT_EQ(200, heartbeat(host, true, true, true).status);
        HttpReply created = requestSession(host.id, controller.id);
        EXPECT_EQ(200, created.status) << created.body;
        running.sessionId = field::string(created.json(), "session_id", "");
        if (running.host) running.request = running.host->receiveType("request").value_or(Json());
        return running;
    }

    std::string account;
    BoundDevice host, controller;
};

TEST_P(Signaling, HandshakeNeedsTheDeviceTokenOfTheNamedDevice) {
    struct Case {
        const char* name;
        std::string token, deviceId;
        int status;
        const char* error;
    } cases[] = {
        {"no token", "", host.id, 401, "unauthorized_device"},
        {"account token", account, host.id, 401, "unauthorized_device"},
        {"another device's id", host.token, controller.id, 403, "forbidden"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpReply refused = client->request("GET", "/v1/signal", c.token, std::nullopt,
                                            {{"Connection", "Upgrade"},
                                             {"Upgrade", "websocket"},
                                             {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                                             {"Sec-WebSocket-Version", "13"},
                                             {"X-Device-ID", c.deviceId}});
        EXPECT_EQ(c.status, refused.status);
        EXPECT_EQ(c.error, refused.error());
        EXPECT_EQ(nullptr, SignalClient::connect(service->port(), c.token, c.deviceId));
    }
    auto socket = SignalClient::connect(service->port(), host.token, host.id);
    ASSERT_NE(nullptr, socket);
    EXPECT_EQ((Json{{"type", "ready"}}), socket->receive().value_or(Json()));
}

TEST_P(Signaling, SessionRelaysOnlyTheDefinedFieldsBetweenItsTwoSockets) {
    auto bystander = connect(bind(account, "BYSTANDER"));
    Running s = startSession();
    ASSERT_FALSE(s.sessionId.empty());
    Json& request = s.request;
    EXPECT_EQ(s.sessionId, request["session_id"]);
    EXPECT_EQ(controller.id, request["controller_id"]);
    EXPECT_EQ("笔记本", request["name"]);
    EXPECT_EQ(false, request["guest"]);
    ASSERT_EQ(2u, request["ice_servers"].size());
    EXPECT_EQ((Json{{"urls", {"stun:127.0.0.1:3478"}}}), request["ice_servers"][0]);
    Json turn = request["ice_servers"][1];
    std::string user = field::string(turn, "username", "");
    EXPECT_EQ(":" + host.id, user.substr(user.find(':')));
    EXPECT_NEAR(double(std::stoll(user)), double(time(nullptr) + 600), 30.0);
    EXPECT_EQ(turnCredential(user), turn["credential"]);

    s.host->send(Json{{"type", "accept"}, {"session_id", s.sessionId}});
    Json accepted = s.controller->receiveType("accepted").value_or(Json());
    EXPECT_EQ(s.sessionId, accepted["session_id"]);
    std::string controllerUser = accepted["ice_servers"][1]["username"];
    EXPECT_EQ(":" + controller.id, controllerUser.substr(controllerUser.find(':')));

    s.controller->send(
        Json{{"type", "offer"}, {"session_id", s.sessionId}, {"sdp", "v=0 offer"}, {"extra", 1}});
    EXPECT_EQ((Json{{"type", "offer"}, {"session_id", s.sessionId}, {"sdp", "v=0 offer"}}),
              s.host->receive());
    s.host->send(Json{{"type", "answer"}, {"session_id", s.sessionId}, {"sdp", "v=0 answer"}});
    EXPECT_EQ((Json{{"type", "answer"}, {"session_id", s.sessionId}, {"sdp", "v=0 answer"}}),
              s.controller->receive());
    s.host->send(Json{{"type", "ice"},
                      {"session_id", s.sessionId},
                      {"candidate", "candidate:1 1 udp 1 127.0.0.1 5000 typ host"},
                      {"sdp_mid", "0"},
                      {"sdp_mline_index", 0}});
    EXPECT_EQ("candidate:1 1 udp 1 127.0.0.1 5000 typ host",
              s.controller->receive().value_or(Json())["candidate"]);
    s.controller->send(Json{{"type", "ice"}, {"session_id", s.sessionId}, {"candidate", "candidate:2"}});
    EXPECT_EQ((Json{{"type", "ice"}, {"session_id", s.sessionId}, {"candidate", "candidate:2"}}),
              s.host->receive());

    // A socket outside the session, and garbage, reach no one.
    bystander->send(Json{{"type", "offer"}, {"session_id", s.sessionId}, {"sdp", "intruder"}});
    s.controller->sendText("not json");
    s.controller->sendText("{\"type\": 5}");
    s.controller->send(Json{{"type", "end"}, {"session_id", s.sessionId}});
    EXPECT_EQ((Json{{"type", "end"}, {"session_id", s.sessionId}}), s.host->receive());
    EXPECT_EQ(200, requestSession(host.id, controller.id).status) << "the host is free again";
}

TEST_P(Signaling, SessionRequestsNameWhyTheyFail) {
    ASSERT_EQ(0, addUser("bob", "bob's password"));
    BoundDevice foreign = bind(signIn("bob", "bob's password"), "BOB-MAC");
    HttpReply notMine = requestSession(host.id, foreign.id);
    EXPECT_EQ(403, notMine.status);
    EXPECT_EQ(404, requestSession(foreign.id, controller.id).status);
    EXPECT_EQ("device_not_found", requestSession(foreign.id, controller.id).error());
    EXPECT_EQ("same_device", requestSession(controller.id, controller.id).error());
    EXPECT_EQ(401, client->request("POST", "/v1/sessions", host.token, Json::object()).status);

    HttpReply offline = requestSession(host.id, controller.id);
    EXPECT_EQ(409, offline.status);
    EXPECT_EQ("device_offline", offline.error());
    auto hostSocket = connect(host);
    EXPECT_EQ("media_not_ready", requestSession(host.id, controller.id).error());
    ASSERT_EQ(200, heartbeat(host, true, false, true).status);
    EXPECT_EQ("controller_not_ready", requestSession(host.id, controller.id).error());
    auto controllerSocket = connect(controller);
    EXPECT_EQ(200, requestSession(host.id, controller.id).status);
    HttpReply busy = requestSession(host.id, controller.id);
    EXPECT_EQ(409, busy.status);
    EXPECT_EQ("device_busy", busy.error());
}

TEST_P(Signaling, ADroppedSocketEndsItsSessionsWithSignalClosed) {
    Running s = startSession();
    s.host->send(Json{{"type", "accept"}, {"session_id", s.sessionId}});
    ASSERT_TRUE(s.controller->receiveType("accepted").has_value());
    s.host->close();
    Json end = s.controller->receiveType("end").value_or(Json());
    EXPECT_EQ(s.sessionId, end["session_id"]);
    EXPECT_EQ("signal_closed", end["reason"]);
    auto again = connect(host);
    EXPECT_EQ(200, requestSession(host.id, controller.id).status);
}

TEST_P(Signaling, RejectAndHostEndReachTheControllerWithAReason) {
    Running s = startSession();
    s.host->send(Json{{"type", "reject"}, {"session_id", s.sessionId}});
    EXPECT_EQ("rejected", s.controller->receiveType("end").value_or(Json())["reason"]);

    HttpReply second = requestSession(host.id, controller.id);
    std::string id = field::string(second.json(), "session_id", "");
    ASSERT_TRUE(s.host->receiveType("request").has_value());
    s.controller->send(Json{{"type", "offer"}, {"session_id", id}, {"sdp", "too early"}});
    s.host->send(Json{{"type", "end"}, {"session_id", id}});
    Json end = s.controller->receiveType("end").value_or(Json());
    EXPECT_EQ("host_ended", end["reason"]);
    EXPECT_FALSE(s.host->receiveType("offer", std::chrono::milliseconds(300)).has_value())
        << "no offer before the host accepted";
}

TEST_P(Signaling, UnansweredRequestTimesOut) {
    Running s = startSession();
    advanceClock(61);
    Json end = s.controller->receiveType("end", std::chrono::seconds(20)).value_or(Json());
    EXPECT_EQ("timeout", end["reason"]);
    EXPECT_EQ("timeout", s.host->receiveType("end").value_or(Json())["reason"]);
}

TEST_P(Signaling, AnOpenSocketCountsAsOnlineAndUnbindingClosesIt) {
    auto socket = connect(host);
    EXPECT_EQ(true, deviceInList(account, host.id)["online"]);
    socket->close();
    ASSERT_TRUE(socket->waitClosed());
    bool offline = false;
    for (int i = 0; i < 50 && !offline; ++i) {
        offline = deviceInList(account, host.id)["online"] == false;
        if (!offline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(offline);

    auto reconnected = connect(host);
    ASSERT_EQ(200, client->request("DELETE", "/v1/devices/" + host.id, account).status);
    EXPECT_TRUE(reconnected->waitClosed());
}

TEST_P(Signaling, SurvivesSocketsComingAndGoingDuringSessions) {
    std::vector<BoundDevice> devices;
    for (int i = 0; i < 8; ++i)
        devices.push_back(bind(account, "CHURN-" + std::to_string(i)));
    for (const BoundDevice& device : devices)
        ASSERT_EQ(200, heartbeat(device, true, true, true).status);
    for (int round = 0; round < 5; ++round) {
        std::vector<std::unique_ptr<SignalClient>> sockets;
        for (const BoundDevice& device : devices)
            sockets.push_back(connect(device));
        for (size_t i = 0; i + 1 < devices.size(); i += 2) {
            HttpReply created = requestSession(devices[i].id, devices[i + 1].id);
            ASSERT_EQ(200, created.status) << created.body;
            std::string id = field::string(created.json(), "session_id", "");
            sockets[i]->send(Json{{"type", "accept"}, {"session_id", id}});
            sockets[i + 1]->send(Json{{"type", "offer"}, {"session_id", id}, {"sdp", "v=0"}});
        }
        // Drop every other socket without waiting; the rest go when the round ends.
        for (size_t i = 0; i < sockets.size(); i += 3)
            sockets[i].reset();
    }
    EXPECT_EQ(200, client->request("GET", "/v1/health").status);
    EXPECT_TRUE(service->isRunning());
}

TEST_P(Signaling, NamesReachOtherScreensWithoutHiddenCharacters) {
    BoundDevice sneaky = bind(account, "SNEAKY", "\u202E笔记本\u200B\n管理员已批准");
    EXPECT_EQ("笔记本管理员已批准", field::string(deviceInList(account, sneaky.id), "name", ""));
    auto hostSocket = connect(host);
    auto sneakySocket = connect(sneaky);
    ASSERT_EQ(200, heartbeat(host, true, true, true).status);
    ASSERT_EQ(200, requestSession(host.id, sneaky.id).status);
    EXPECT_EQ("笔记本管理员已批准", hostSocket->receiveType("request").value_or(Json())["name"]);

    HttpReply hidden = client->request(
        "POST", "/v1/devices", account,
        Json{{"installation_id", "HIDDEN"}, {"name", "\u2066\u2069 "}, {"platform", "macos"}});
    EXPECT_EQ(400, hidden.status);
    EXPECT_EQ("name", hidden.json()["field"]);
    HttpReply qr = client->request("POST", "/v1/auth/qr", "", Json{{"name", "Mac\u202E"}});
    ASSERT_EQ(200, qr.status);
    std::string phone = signIn();
    HttpReply approved = client->request("POST", "/v1/auth/qr/approve", phone,
                                         Json{{"id", qr.json()["id"]}, {"approve", true}});
    EXPECT_EQ("Mac", approved.json()["name"]);
    EXPECT_NE(0, addUser("evil\u202Eadmin", "password"));
}

class GuestSession : public Signaling {
protected:
    void SetUp() override {
        Signaling::SetUp();
        ASSERT_EQ(0, addUser("bob", "bob's password"));
        guestAccount = signIn("bob", "bob's password");
        guest = bind(guestAccount, "BOB-MAC", "Bob 的 Mac");
        code = pair("00112233aabbccdd");
    }

    std::string pair(const std::string& password) {
        HttpReply reply = client->request("PUT", "/v1/devices/" + host.id + "/pairing", host.token,
                                          Json{{"password", password}});
        EXPECT_EQ(200, reply.status);
        return field::string(reply.json(), "code", "");
    }

    HttpReply requestGuest(const std::string& codeText, const std::string& password) {
        return client->request("POST", "/v1/guest-sessions", guestAccount,
                               Json{{"code", codeText}, {"password", password}, {"controller_id", guest.id}});
    }

    std::string guestAccount;
    BoundDevice guest;
    std::string code;
};

TEST_P(GuestSession, CodeAndPasswordReachTheHostAsAGuest) {
    auto hostSocket = connect(host);
    auto guestSocket = connect(guest);
    ASSERT_EQ(200, heartbeat(host, true, true, true).status);
    HttpReply created = requestGuest(code, "00112233aabbccdd");
    ASSERT_EQ(200, created.status) << created.body;
    EXPECT_EQ("书房的 Mac", created.json()["device"]["name"]);
    Json request = hostSocket->receiveType("request").value_or(Json());
    EXPECT_EQ(true, request["guest"]);
    EXPECT_EQ("Bob 的 Mac", request["name"]);
    EXPECT_EQ(created.json()["session_id"], request["session_id"]);
}

TEST_P(GuestSession, WrongPasswordsLockTheCodeUntilANewOne) {
    EXPECT_EQ("pairing_invalid", requestGuest("999999999", "00112233aabbccdd").error());
    for (int i = 0; i < 4; ++i) {
        HttpReply wrong = requestGuest(code, "ffffffffffffffff");
        EXPECT_EQ(403, wrong.status);
        EXPECT_EQ("pairing_invalid", wrong.error());
    }
    EXPECT_EQ("pairing_locked", requestGuest(code, "ffffffffffffffff").error());
    HttpReply locked = requestGuest(code, "00112233aabbccdd");
    EXPECT_EQ(423, locked.status);
    EXPECT_EQ("pairing_locked", locked.error());

    std::string fresh = pair("8899aabbccddeeff");
    EXPECT_EQ("pairing_invalid", requestGuest(code, "00112233aabbccdd").error()) << "the old code is gone";
    EXPECT_EQ("device_offline", requestGuest(fresh, "8899aabbccddeeff").error())
        << "right password, host away";
}

TEST_P(GuestSession, WithdrawnCodeAndTooManyAttemptsAreRefused) {
    ASSERT_EQ(200, client->request("DELETE", "/v1/devices/" + host.id + "/pairing", host.token).status);
    EXPECT_EQ("pairing_invalid", requestGuest(code, "00112233aabbccdd").error());
    HttpReply last;
    for (int i = 0; i < 11; ++i)
        last = requestGuest("123456789", "00");
    EXPECT_EQ(429, last.status);
    EXPECT_EQ("rate_limited", last.error());
}

TEST_P(GuestSession, ConcurrentWrongPasswordsAreCountedBeforeTheyAreChecked) {
    auto replies = concurrently(10, [&](int) { return requestGuest(code, "ffffffffffffffff"); });
    EXPECT_EQ(4, countOf(replies, 403, "pairing_invalid"));
    EXPECT_EQ(6, countOf(replies, 423, "pairing_locked")) << "the fifth failure locks the code";
}

TEST_P(GuestSession, ThePasswordOpensOneSessionOnly) {
    EXPECT_EQ("device_offline", requestGuest(code, "00112233aabbccdd").error())
        << "no session came of it, so the password still counts";
    auto hostSocket = connect(host);
    auto guestSocket = connect(guest);
    ASSERT_EQ(200, heartbeat(host, true, true, true).status);
    auto replies = concurrently(3, [&](int) { return requestGuest(code, "00112233aabbccdd"); });
    EXPECT_EQ(1, countOf(replies, 200));
    EXPECT_EQ(2, countOf(replies, 403, "pairing_invalid"));
    ASSERT_TRUE(hostSocket->receiveType("request").has_value());

    // The guest reconnects with the code the host shows after issuing a new one.
    std::string sessionId;
    for (const HttpReply& reply : replies)
        if (reply.status == 200) sessionId = field::string(reply.json(), "session_id", "");
    guestSocket->send(Json{{"type", "end"}, {"session_id", sessionId}});
    ASSERT_TRUE(hostSocket->receiveType("end").has_value());
    EXPECT_EQ("pairing_invalid", requestGuest(code, "00112233aabbccdd").error());
    std::string fresh = pair("8899aabbccddeeff");
    EXPECT_EQ(200, requestGuest(fresh, "8899aabbccddeeff").status);
}

TEST_P(GuestSession, OwnDeviceByCodeIsSameDevice) {
    HttpReply reply =
        client->request("POST", "/v1/guest-sessions", account,
                        Json{{"code", code}, {"password", "00112233aabbccdd"}, {"controller_id", host.id}});
    EXPECT_EQ(400, reply.status);
    EXPECT_EQ("same_device", reply.error());
}

INSTANTIATE_TEST_SUITE_P(Backend, Signaling, kEachStorage, storageName);
INSTANTIATE_TEST_SUITE_P(Backend, GuestSession, kEachStorage, storageName);

} // namespace
} // namespace quorlinth::testing
