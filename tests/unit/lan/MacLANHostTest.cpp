#include "lan/MacLANHost.h"

#include "../store/TestSupport.h"
#include "lan/LANConnection.h"
#include "lan/LANConsentText.h"
#include "lan/LANIdentity.h"
#include "lan/LANPeerName.h"
#include "lan/MacLANLink.h"
#include "platform/fake/FakeServiceDiscovery.h"

#include <gtest/gtest.h>
#include <regex>

namespace quorlinth {
namespace {

// The share host as the LAN host sees it: records what it is handed.
class RecordingTarget : public LANSessionTarget {
public:
    bool busy = false;
    std::vector<std::string> controllers;
    std::vector<Json> received;
    std::function<void(Json)> send;

    std::optional<std::string> attachLocal(const std::string& controllerID,
                                           std::function<void(Json)> sender) override {
        if (busy) return std::nullopt;
        controllers.push_back(controllerID);
        send = std::move(sender);
        return "lan-" + std::to_string(controllers.size());
    }
    void receiveLocal(Json message) override { received.push_back(std::move(message)); }
};

// A controller speaking the handshake over a real link, message by message.
class ScriptedController {
public:
    ScriptedController(RunLoop& loop, uint16_t port,
                       crypto::P256SigningKey key = crypto::P256SigningKey::generate())
        : loop(loop), key(std::move(key)),
          link(MacLANLink::create(LANConnection::outgoing("127.0.0.1", port), loop)) {
        link->onMessage = [this](Json message) { received.push_back(std::move(message)); };
        link->onClose = [this] { closed = true; };
        link->start();
    }
    std::string keyText() const { return publicKeyText(key); }

    void hello(const std::string& name = "甲的 Mac") {
        link->send({{"t", "hello"}, {"key", keyText()}, {"name", name}, {"nonce", nonce}});
    }
    // The host's hello, checked; empty when none came.
    Json hostHello() {
        Json reply = next();
        if (field::string(reply, "t") != "hello") return {};
        hostKey = field::string(reply, "key", "");
        hostNonce = field::string(reply, "nonce", "");
        EXPECT_TRUE(verify(hostKey, field::string(reply, "sig"), "host|" + nonce + "|" + keyText()));
        return reply;
    }
    void auth(std::optional<std::string> password) {
        Json message = {{"t", "auth"}, {"sig", sign("controller|" + hostNonce + "|" + hostKey, key)}};
        if (password) message["pw"] = passwordProof(*password, hostNonce, keyText(), hostKey);
        link->send(message);
    }
    // hello, host hello, auth: the host's answer.
    Json pair(std::optional<std::string> password) {
        hello();
        hostHello();
        auth(std::move(password));
        return next();
    }
    Json next() {
        loop.runUntil([&] { return !received.empty() || closed; }, Millis(10'000));
        if (received.empty()) return {};
        Json first = received.front();
        received.erase(received.begin());
        return first;
    }
    bool waitClosed() {
        return loop.runUntil([&] { return closed; }, Millis(10'000));
    }

    RunLoop& loop;
    crypto::P256SigningKey key;
    std::shared_ptr<MacLANLink> link;
    std::string nonce = makeNonce();
    std::string hostKey, hostNonce;
    std::vector<Json> received;
    bool closed = false;
};

Json rejected(const char* reason) {
    return {{"t", "rejected"}, {"reason", reason}};
}

class LANHost : public ::testing::Test {
protected:
    void SetUp() override {
        MacLANHost::Options options;
        options.port = 0;
        options.listenAddress = "127.0.0.1";
        options.discovery = &discovery;
        options.main = &loop;
        options.now = [this] { return now; };
        host = MacLANHost::create(identity, trust, target, "书房的 Mac", options);
        host->onEvent = [this](std::string text) { events.push_back(text); };
        host->onPasswordChange = [this](std::string password) { passwords.push_back(password); };
        ASSERT_TRUE(host->start());
    }
    void TearDown() override { host->stop(); }
    std::unique_ptr<ScriptedController> controller() {
        return std::make_unique<ScriptedController>(loop, host->port());
    }
    // Consent answered at once with `answer`, recording the request.
    void consent(bool answer) {
        host->confirm = [this, answer](MacLANHost::Request request, std::function<void(bool)> completion) {
            requests.push_back(request);
            completion(answer);
        };
    }

    RunLoop loop;
    testing::ScratchFolder folder;
    UserDefaults defaults{folder / "defaults.json"};
    MacLANTrust trust{defaults, kLANTrustedControllersKey};
    std::shared_ptr<RecordingTarget> target = std::make_shared<RecordingTarget>();
    FakeServiceDiscovery discovery;
    crypto::P256SigningKey identity = crypto::P256SigningKey::generate();
    Clock::time_point now = Clock::now();
    std::shared_ptr<MacLANHost> host;
    std::vector<std::string> events, passwords;
    std::vector<MacLANHost::Request> requests;
};

TEST_F(LANHost, AdvertisesItsNameAndPortUntilStopped) {
    EXPECT_EQ(discovery.published(), (std::vector<FakeServiceDiscovery::Publication>{
                                         {"书房的 Mac", "_quorlinth._tcp", host->port()}}));
    auto first = controller();
    first->hello();
    first->hostHello();
    host->stop();
    EXPECT_TRUE(first->waitClosed());
    EXPECT_TRUE(discovery.published().empty());
}

TEST_F(LANHost, HelloAnswersOnlyAWellFormedFirstHello) {
    struct Case {
        const char* label;
        std::function<Json(ScriptedController&)> hello;
        bool answered;
    };
    const Case cases[] = {
        {"nonce of 32",
         [](ScriptedController& c) {
             return Json{{"t", "hello"}, {"key", c.keyText()}, {"nonce", c.nonce}};
         },
         true},
        {"nonce of 31",
         [](ScriptedController& c) {
             return Json{{"t", "hello"}, {"key", c.keyText()}, {"nonce", c.nonce.substr(1)}};
         },
         false},
        {"nonce of 33",
         [](ScriptedController& c) {
             return Json{{"t", "hello"}, {"key", c.keyText()}, {"nonce", c.nonce + "0"}};
         },
         false},
        {"no key",
         [](ScriptedController& c) {
             return Json{{"t", "hello"}, {"nonce", c.nonce}};
         },
         false},
        {"numeric nonce",
         [](ScriptedController& c) {
             return Json{{"t", "hello"}, {"key", c.keyText()}, {"nonce", 5}};
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto scripted = controller();
        scripted->link->send(c.hello(*scripted));
        if (c.answered) {
            Json reply = scripted->hostHello();
            EXPECT_EQ(reply["name"], "书房的 Mac");
            EXPECT_EQ(reply["key"], publicKeyText(identity));
            EXPECT_EQ(reply["nonce"].get<std::string>().size(), 32u);
        } else {
            EXPECT_TRUE(scripted->waitClosed());
            EXPECT_TRUE(scripted->received.empty()) << "closed before any reply";
        }
    }
    auto twice = controller();
    twice->hello();
    twice->hostHello();
    twice->hello();
    EXPECT_TRUE(twice->waitClosed());
}

TEST_F(LANHost, ControllerNameIsDefaultedCutAndMadeSafe) {
    consent(false);
    struct Case {
        Json name;
        std::string expected;
    };
    const Case cases[] = {
        {nullptr, "局域网设备"},
        {42, "局域网设备"},
        {std::string(100, 'a'), std::string(64, 'a')},
        {"控" + std::string(70, 'x'), "控" + std::string(63, 'x')},
        {"red\x1b[31m\nline", "red\xEF\xBF\xBD[31m\xEF\xBF\xBDline"},
    };
    for (const auto& c : cases) {
        auto scripted = controller();
        Json hello = {{"t", "hello"}, {"key", scripted->keyText()}, {"nonce", scripted->nonce}};
        if (!c.name.is_null()) hello["name"] = c.name;
        scripted->link->send(hello);
        scripted->hostHello();
        scripted->auth(host->password());
        EXPECT_EQ(scripted->next(), rejected("declined"));
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().name, c.expected);
    }
    EXPECT_EQ(peerName("👨‍👩‍👧" + std::string(64, 'x')),
              "👨‍👩‍👧" + std::string(63, 'x'))
        << "a cluster counts once";
}

TEST_F(LANHost, AuthDecidesByTrustThenPasswordWithReasons) {
    auto trusted = crypto::P256SigningKey::generate();
    trust.add(publicKeyText(trusted), "老设备");
    struct Case {
        const char* label;
        bool trustedKey;
        std::optional<std::string> password;
        Json expected;
    };
    const Case cases[] = {
        {"untrusted without password", false, std::nullopt, rejected("need_password")},
        {"untrusted with a wrong password", false, "wrongwrong", rejected("wrong_password")},
        {"trusted without password", true, std::nullopt, {{"t", "accepted"}, {"session", "lan-1"}}},
        {"trusted with a wrong password", true, "wrongwrong", {{"t", "accepted"}, {"session", "lan-2"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScriptedController scripted(loop, host->port(),
                                    c.trustedKey ? trusted : crypto::P256SigningKey::generate());
        EXPECT_EQ(scripted.pair(c.password), c.expected);
        if (c.expected["t"] == "rejected") EXPECT_TRUE(scripted.waitClosed());
    }
    EXPECT_EQ(target->controllers, (std::vector<std::string>{"lan:" + fingerprint(publicKeyText(trusted)),
                                                             "lan:" + fingerprint(publicKeyText(trusted))}));
    EXPECT_EQ(events, (std::vector<std::string>{"局域网连接：甲的 Mac", "局域网连接：甲的 Mac"}));
    EXPECT_TRUE(requests.empty()) << "trusted controllers are not asked";
}

TEST_F(LANHost, BadOrOutOfOrderAuthClosesWithoutReply) {
    auto early = controller();
    early->link->send({{"t", "auth"}, {"sig", "x"}});
    EXPECT_TRUE(early->waitClosed());
    EXPECT_TRUE(early->received.empty());

    auto forged = controller();
    forged->hello();
    forged->hostHello();
    forged->link->send(
        {{"t", "auth"}, {"sig", sign("controller|" + forged->hostNonce + "|other", forged->key)}});
    EXPECT_TRUE(forged->waitClosed());
    EXPECT_TRUE(forged->received.empty());
}

TEST_F(LANHost, FifthWrongProofLocksAndRotatesTheLockHoldsEvenForTheRightPassword) {
    std::string original = host->password();
    for (int attempt = 1; attempt <= 5; ++attempt) {
        SCOPED_TRACE(attempt);
        auto scripted = controller();
        EXPECT_EQ(scripted->pair("wrongwrong"), rejected("wrong_password"));
        EXPECT_EQ(passwords.size(), attempt == 5 ? 1u : 0u);
    }
    EXPECT_NE(host->password(), original);
    consent(true);
    auto sixth = controller();
    EXPECT_EQ(sixth->pair(host->password()), rejected("locked"));

    now += Millis(299'000);
    EXPECT_EQ(controller()->pair(host->password()), rejected("locked"));
    now += Millis(1'001);
    auto afterLock = controller();
    EXPECT_EQ(afterLock->pair(host->password()), (Json{{"t", "accepted"}, {"session", "lan-1"}}));
}

TEST_F(LANHost, ARightProofResetsTheWrongCount) {
    consent(false);
    for (int attempt = 0; attempt < 4; ++attempt)
        EXPECT_EQ(controller()->pair("wrongwrong"), rejected("wrong_password"));
    EXPECT_EQ(controller()->pair(host->password()), rejected("declined"));
    for (int attempt = 0; attempt < 4; ++attempt)
        EXPECT_EQ(controller()->pair("wrongwrong"), rejected("wrong_password"));
    EXPECT_TRUE(passwords.empty()) << "no lock: the count restarted";
    EXPECT_EQ(controller()->pair(host->password()), rejected("declined"));
}

TEST_F(LANHost, DeclineKeepsThePasswordConsentTrustsAndRotates) {
    std::string original = host->password();
    host->confirm = nullptr;
    EXPECT_EQ(controller()->pair(original), rejected("declined")) << "no one to ask";
    consent(false);
    EXPECT_EQ(controller()->pair(original), rejected("declined"));
    EXPECT_EQ(host->password(), original);
    EXPECT_TRUE(trust.entries().empty());

    consent(true);
    auto scripted = controller();
    EXPECT_EQ(scripted->pair(original), (Json{{"t", "accepted"}, {"session", "lan-1"}}));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests.back().key, scripted->keyText());
    EXPECT_EQ(requests.back().fingerprint, fingerprint(scripted->keyText()));
    EXPECT_EQ(trust.entries(),
              (std::vector<MacLANTrust::Entry>{{scripted->keyText(), "甲的 Mac", std::nullopt}}));
    EXPECT_NE(host->password(), original);
    EXPECT_EQ(passwords, std::vector<std::string>{host->password()});
}

TEST_F(LANHost, ConsentAfterTheLinkClosedChangesNothing) {
    std::function<void(bool)> later;
    host->confirm = [&](MacLANHost::Request, std::function<void(bool)> completion) { later = completion; };
    std::string original = host->password();
    {
        auto scripted = controller();
        scripted->hello();
        scripted->hostHello();
        scripted->auth(original);
        ASSERT_TRUE(loop.runUntil([&] { return bool(later); }, Millis(10'000)));
        scripted->link->close();
    }
    ASSERT_TRUE(loop.runUntil([&] { return host->linkCount() == 0; }, Millis(10'000)));
    later(true);
    EXPECT_TRUE(trust.entries().empty());
    EXPECT_EQ(host->password(), original);
    EXPECT_TRUE(target->controllers.empty());
}

TEST_F(LANHost, BusyShareHostRejects) {
    trust.add("unused", "x");
    target->busy = true;
    consent(true);
    EXPECT_EQ(controller()->pair(host->password()), rejected("busy"));
}

TEST_F(LANHost, RelaysSignalingOnlyAfterAcceptanceAndChecksOfferSignatures) {
    consent(true);
    auto scripted = controller();
    scripted->hello();
    scripted->hostHello();
    scripted->link->send({{"t", "rtc"}, {"m", {{"type", "ice"}, {"candidate", "early"}}}});
    scripted->auth(host->password());
    ASSERT_EQ(scripted->next(), (Json{{"t", "accepted"}, {"session", "lan-1"}}));
    EXPECT_FALSE(scripted->closed) << "an early rtc message is ignored, not fatal";

    scripted->link->send({{"t", "rtc"}, {"m", "not an object"}});
    scripted->link->send(
        {{"t", "rtc"}, {"m", {{"type", "ice"}, {"candidate", "c1"}, {"session_id", "forged"}}}});
    scripted->link->send(rtcMessage({{"type", "offer"}, {"sdp", "v=0"}}, scripted->key));
    ASSERT_TRUE(loop.runUntil([&] { return target->received.size() == 2; }, Millis(10'000)));
    EXPECT_EQ(target->received[0], (Json{{"type", "ice"}, {"candidate", "c1"}, {"session_id", "lan-1"}}));
    EXPECT_EQ(target->received[1], (Json{{"type", "offer"}, {"sdp", "v=0"}, {"session_id", "lan-1"}}));

    target->send({{"type", "answer"}, {"sdp", "v=1"}, {"session_id", "lan-1"}});
    Json answer = scripted->next();
    EXPECT_EQ(answer["m"]["sdp"], "v=1");
    EXPECT_TRUE(verify(scripted->hostKey, field::string(answer, "sig"), "sdp|v=1"));

    scripted->link->send({{"t", "rtc"}, {"m", {{"type", "offer"}, {"sdp", "v=0"}}}});
    EXPECT_TRUE(scripted->waitClosed()) << "an unsigned offer closes the link";
    ASSERT_TRUE(loop.runUntil([&] { return target->received.size() == 3; }, Millis(10'000)));
    EXPECT_EQ(target->received[2], (Json{{"type", "end"}, {"session_id", "lan-1"}}))
        << "closing ends the session";
}

TEST_F(LANHost, OfferSignedByAnotherKeyClosesTheLink) {
    consent(true);
    auto scripted = controller();
    ASSERT_EQ(scripted->pair(host->password())["t"], "accepted");
    scripted->link->send(rtcMessage({{"type", "offer"}, {"sdp", "v=0"}}, crypto::P256SigningKey::generate()));
    EXPECT_TRUE(scripted->waitClosed());
}

TEST_F(LANHost, SecondAuthIsOutOfOrder) {
    std::vector<std::function<void(bool)>> pending;
    host->confirm = [&](MacLANHost::Request, std::function<void(bool)> completion) {
        pending.push_back(completion);
    };
    auto scripted = controller();
    scripted->hello();
    scripted->hostHello();
    scripted->auth(host->password());
    scripted->auth(host->password());
    EXPECT_TRUE(scripted->waitClosed());
    EXPECT_LE(pending.size(), 1u);
}

TEST_F(LANHost, PortInUseIsReportedInChinese) {
    MacLANHost::Options options;
    options.port = host->port();
    options.listenAddress = "127.0.0.1";
    options.main = &loop;
    auto second = MacLANHost::create(identity, trust, target, "另一个", options);
    auto started = second->start();
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), "端口已被其他程序占用");
}

TEST(LANConsentText, NamesTheControllerItsFingerprintAndRemoteInput) {
    MacLANHost::Request request{"甲的 Mac", "KEY", "0A1B-2C3D-4E5F"};
    auto withoutInput = lanConsentText(request, false);
    EXPECT_EQ(withoutInput.message, "允许 甲的 Mac 通过局域网连接这台电脑？");
    EXPECT_EQ(withoutInput.informative,
              "对方输入了正确的配对密码。设备指纹 0A1B-2C3D-4E5F。\n"
              "允许后它会成为可信设备，以后连接无需密码和确认；可随时在“共享这台电脑”页移除。");
    EXPECT_EQ(lanConsentText(request, true).informative,
              withoutInput.informative + "\n对方将能操作鼠标和键盘。");
}

TEST(LANPairingPassword, TenCharactersFromTheUnambiguousAlphabet) {
    std::regex shape("[23456789abcdefghjkmnpqrstuvwxyz]{10}");
    std::set<char> seen;
    for (int round = 0; round < 200; ++round) {
        std::string password = makePairingPassword();
        ASSERT_TRUE(std::regex_match(password, shape)) << password;
        seen.insert(password.begin(), password.end());
    }
    EXPECT_EQ(seen.size(), 31u) << "every character of the alphabet is drawn";
}

} // namespace
} // namespace quorlinth
