#include "lan/MacLANDial.h"

#include "../store/TestSupport.h"
#include "LoopbackPeer.h"
#include "lan/LANIdentity.h"
#include "lan/LANLocalAddresses.h"
#include "lan/MacLANHost.h"
#include "lan/MacLANLink.h"

#include <gtest/gtest.h>
#include <thread>

namespace quorlinth {
namespace {

using testing::LoopbackListener;
using testing::LoopbackPeer;
using Accepted = MacLANDial::Accepted;
using Rejected = MacLANDial::Rejected;
using Failed = MacLANDial::Failed;

class LANDial : public ::testing::Test {
public: // the case table's host scripts reach the fixture
    std::shared_ptr<MacLANDial> dial(uint16_t port, std::optional<std::string> password = std::nullopt) {
        auto made = MacLANDial::create(identity, known, {"127.0.0.1", port}, password, "控制端", &loop);
        made->onOutcome = [this](MacLANDial::Outcome outcome) { outcomes.push_back(outcome); };
        made->onMessage = [this](Json m) { messages.push_back(m); };
        made->onClose = [this] { ++closes; };
        made->start();
        return made;
    }
    // Accepts the dial on the scripted host and reads its hello.
    LoopbackPeer acceptHello() {
        LoopbackPeer peer(listener.accept());
        hello = parseJsonObject(peer.readLine()).value_or(Json{});
        return peer;
    }
    std::string hostHello(const crypto::P256SigningKey& key, const std::string& name = "书房") {
        return dumpJson({{"t", "hello"},
                         {"key", publicKeyText(key)},
                         {"name", name},
                         {"nonce", hostNonce},
                         {"sig", sign("host|" + hello["nonce"].get<std::string>() + "|" +
                                          hello["key"].get<std::string>(),
                                      key)}}) +
               "\n";
    }
    bool waitFor(const std::function<bool()>& condition) {
        Timer tick = loop.every(Millis(5), Millis(5), [] {}); // wakes the loop to look at the peer
        return loop.runUntil(condition, Millis(10'000));
    }
    // The peer's next line, while the dial keeps running; "" at end of stream or time-out.
    std::string lineFrom(LoopbackPeer& peer) {
        std::string line;
        waitFor([&] {
            line = peer.readLine(0);
            return !line.empty() || peer.ended();
        });
        return line;
    }

    RunLoop loop;
    testing::ScratchFolder folder;
    UserDefaults defaults{folder / "defaults.json"};
    MacLANTrust known{defaults, kLANKnownHostsKey};
    crypto::P256SigningKey identity = crypto::P256SigningKey::generate();
    crypto::P256SigningKey hostKey = crypto::P256SigningKey::generate();
    std::string hostNonce = makeNonce();
    LoopbackListener listener;
    Json hello;
    std::vector<MacLANDial::Outcome> outcomes;
    std::vector<Json> messages;
    int closes = 0;
};

TEST_F(LANDial, HelloCarriesKeyNameAndFreshNonce) {
    auto running = dial(listener.port());
    auto peer = acceptHello();
    EXPECT_EQ(hello["t"], "hello");
    EXPECT_EQ(hello["key"], publicKeyText(identity));
    EXPECT_EQ(hello["name"], "控制端");
    EXPECT_EQ(hello["nonce"].get<std::string>().size(), 32u);
}

TEST_F(LANDial, AuthProvesThePasswordOnlyWhenOneWasTyped) {
    struct Case {
        std::optional<std::string> password;
        bool proof;
    };
    for (const Case& c : {Case{std::nullopt, false}, Case{"", false}, Case{"abc23def45", true}}) {
        SCOPED_TRACE(c.password.value_or("(none)"));
        auto running = dial(listener.port(), c.password);
        auto peer = acceptHello();
        peer.write(hostHello(hostKey));
        auto auth = parseJsonObject(lineFrom(peer)).value_or(Json{});
        EXPECT_EQ(auth["t"], "auth");
        EXPECT_TRUE(verify(publicKeyText(identity), field::string(auth, "sig"),
                           "controller|" + hostNonce + "|" + publicKeyText(hostKey)));
        if (c.proof)
            EXPECT_EQ(auth["pw"],
                      passwordProof(*c.password, hostNonce, publicKeyText(identity), publicKeyText(hostKey)));
        else
            EXPECT_FALSE(auth.contains("pw"));
    }
}

TEST_F(LANDial, ReportsExactlyOneOutcomeForEachWayItEnds) {
    struct Case {
        const char* label;
        std::function<void(LANDial&, LoopbackPeer&)> host;
        MacLANDial::Outcome expected;
    };
    const Case cases[] = {
        {"closed before hello", [](LANDial&, LoopbackPeer& peer) { peer.shutdownWrite(); },
         Failed{kLANUnreachable}},
        {"hello signed by another key",
         [](LANDial& t, LoopbackPeer& peer) {
             Json forged = parseJsonObject(t.hostHello(t.hostKey)).value();
             forged["key"] = publicKeyText(crypto::P256SigningKey::generate());
             peer.write(dumpJson(forged) + "\n");
         },
         Failed{kLANIdentityInvalid}},
        {"hello without nonce",
         [](LANDial& t, LoopbackPeer& peer) {
             Json broken = parseJsonObject(t.hostHello(t.hostKey)).value();
             broken.erase("nonce");
             peer.write(dumpJson(broken) + "\n");
         },
         Failed{kLANIdentityInvalid}},
        {"rejected with reason",
         [](LANDial& t, LoopbackPeer& peer) {
             peer.write(t.hostHello(t.hostKey) + "{\"t\":\"rejected\",\"reason\":\"need_password\"}\n");
         },
         Rejected{"need_password"}},
        {"rejected without reason",
         [](LANDial& t, LoopbackPeer& peer) {
             peer.write(t.hostHello(t.hostKey) + "{\"t\":\"rejected\"}\n");
         },
         Rejected{"declined"}},
        {"accepted before hello is ignored, then the link closes",
         [](LANDial&, LoopbackPeer& peer) {
             peer.write("{\"t\":\"accepted\",\"session\":\"lan-x\"}\n");
             peer.shutdownWrite();
         },
         Failed{kLANUnreachable}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        outcomes.clear();
        closes = 0;
        auto running = dial(listener.port());
        auto peer = acceptHello();
        c.host(*this, peer);
        ASSERT_TRUE(waitFor([&] { return closes == 1; }));
        loop.runFor(Millis(20));
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0], c.expected);
    }
    EXPECT_TRUE(known.entries().empty());

    outcomes.clear();
    uint16_t unused;
    {
        LoopbackListener gone;
        unused = gone.port();
    }
    auto refused = dial(unused);
    ASSERT_TRUE(waitFor([&] { return !outcomes.empty(); }));
    EXPECT_EQ(outcomes[0], MacLANDial::Outcome(Failed{kLANUnreachable}));
}

TEST_F(LANDial, AcceptanceRemembersTheHostAndCarriesVerifiedSignaling) {
    auto running = dial(listener.port(), "abc23def45");
    auto peer = acceptHello();
    peer.write(hostHello(hostKey, "书房的 Mac") + "{\"t\":\"accepted\",\"session\":\"lan-1\"}\n" +
               "{\"t\":\"accepted\",\"session\":\"lan-2\"}\n");
    ASSERT_TRUE(waitFor([&] { return !outcomes.empty(); }));
    EXPECT_EQ(outcomes[0], MacLANDial::Outcome(Accepted{"lan-1", "书房的 Mac", publicKeyText(hostKey)}));
    std::string address = "127.0.0.1:" + std::to_string(listener.port());
    EXPECT_EQ(known.entries(),
              (std::vector<MacLANTrust::Entry>{{publicKeyText(hostKey), address, "书房的 Mac"}}));

    std::thread([&] { running->send({{"type", "offer"}, {"sdp", "v=0"}}); }).join();
    lineFrom(peer); // auth
    Json offer = parseJsonObject(lineFrom(peer)).value_or(Json{});
    EXPECT_EQ(offer["m"]["sdp"], "v=0");
    EXPECT_TRUE(verify(publicKeyText(identity), field::string(offer, "sig"), "sdp|v=0"));

    peer.write(dumpJson(rtcMessage({{"type", "ice"}, {"candidate", "c1"}}, hostKey)) + "\n" +
               dumpJson(rtcMessage({{"type", "answer"}, {"sdp", "v=1"}}, hostKey)) + "\n");
    ASSERT_TRUE(waitFor([&] { return messages.size() == 2; }));
    EXPECT_EQ(messages[1], (Json{{"type", "answer"}, {"sdp", "v=1"}}));

    peer.write(dumpJson(rtcMessage({{"type", "answer"}, {"sdp", "v=2"}}, identity)) + "\n");
    ASSERT_TRUE(waitFor([&] { return closes == 1; })) << "a badly signed answer closes the link";
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_EQ(outcomes.size(), 1u) << "still the one outcome";
}

TEST_F(LANDial, AnotherKeyAtAKnownAddressFailsBeforeAuth) {
    std::string address = "127.0.0.1:" + std::to_string(listener.port());
    known.remember(publicKeyText(crypto::P256SigningKey::generate()), address, "旧的");
    auto running = dial(listener.port(), "abc23def45");
    auto peer = acceptHello();
    peer.write(hostHello(hostKey));
    ASSERT_TRUE(waitFor([&] { return !outcomes.empty(); }));
    EXPECT_EQ(outcomes[0], MacLANDial::Outcome(Failed{kLANIdentityChanged}));
    EXPECT_EQ(lineFrom(peer), "") << "no auth was sent";
    EXPECT_TRUE(peer.ended());
}

// A real host and a real dial on loopback.
TEST_F(LANDial, PairsOnceThenReconnectsWithoutPasswordAndRefusesANewHostKey) {
    UserDefaults hostDefaults(folder / "host.json");
    MacLANTrust trusted(hostDefaults, kLANTrustedControllersKey);
    struct Target : LANSessionTarget {
        int sessions = 0;
        std::optional<std::string> attachLocal(const std::string&, std::function<void(Json)>) override {
            return "lan-" + std::to_string(++sessions);
        }
        void receiveLocal(Json) override {}
    };
    auto target = std::make_shared<Target>();
    MacLANHost::Options options;
    options.port = 0;
    options.listenAddress = "127.0.0.1";
    options.main = &loop;
    auto makeHost = [&](crypto::P256SigningKey key) {
        auto host = MacLANHost::create(key, trusted, target, "书房的 Mac", options);
        host->confirm = [](MacLANHost::Request, std::function<void(bool)> completion) { completion(true); };
        EXPECT_TRUE(host->start());
        return host;
    };
    auto host = makeHost(hostKey);
    options.port = host->port();
    auto outcomeOf = [&](std::optional<std::string> password) {
        outcomes.clear();
        auto running = dial(host->port(), password);
        EXPECT_TRUE(waitFor([&] { return !outcomes.empty(); }));
        return outcomes.empty() ? MacLANDial::Outcome(Failed{"none"}) : outcomes[0];
    };
    EXPECT_EQ(outcomeOf(std::nullopt), MacLANDial::Outcome(Rejected{"need_password"}));
    EXPECT_EQ(outcomeOf(host->password()),
              MacLANDial::Outcome(Accepted{"lan-1", "书房的 Mac", publicKeyText(hostKey)}));
    EXPECT_EQ(outcomeOf(std::nullopt),
              MacLANDial::Outcome(Accepted{"lan-2", "书房的 Mac", publicKeyText(hostKey)}));

    host->stop();
    host = makeHost(crypto::P256SigningKey::generate()); // reinstalled: same address, new key
    EXPECT_EQ(outcomeOf(std::nullopt), MacLANDial::Outcome(Failed{kLANIdentityChanged}));
    host->stop();
}

TEST(LANDialTexts, RejectionReasonsBecomeStatusTexts) {
    EXPECT_EQ(lanRejectionText("need_password"),
              "首次连接这台电脑需要配对密码（在对方“共享这台电脑”页查看）");
    EXPECT_EQ(lanRejectionText("wrong_password"), "配对密码不正确");
    EXPECT_EQ(lanRejectionText("declined"), "对方拒绝了连接");
    EXPECT_EQ(lanRejectionText("busy"), "对方正在被其他设备连接");
    EXPECT_EQ(lanRejectionText("locked"), "密码错误次数过多，请 5 分钟后再试");
    EXPECT_EQ(lanRejectionText("other"), "对方未接受连接");
}

TEST(LANLocalAddresses, KeepsUpLanInterfacesIPv4SortedAsText) {
    std::vector<LANInterfaceAddress> interfaces = {
        {"enp3s0", true, false, "192.168.1.20"},
        {"lo", true, true, "127.0.0.1"},
        {"wlan0", true, false, "10.0.0.9"},
        {"eth1", false, false, "192.168.5.5"},
        {"docker0", true, false, "172.17.0.1"},
        {"br0", true, false, "192.168.1.100"},
        {"enp3s0", true, false, ""},
        {"enp3s0", true, false, "192.168.1.20"},
        {"en0", true, true, "10.9.9.9"},
        {"bridge100", true, false, "192.168.64.1"},
    };
    EXPECT_EQ(lanAddresses(interfaces),
              (std::vector<std::string>{"10.0.0.9", "192.168.1.100", "192.168.1.20", "192.168.64.1"}));
}

} // namespace
} // namespace quorlinth
