// MacShareHost against the real service and a scripted controller: the whole session flow,
// which messages the host takes and which it ignores, early candidates and ending a session
// from either side.

#include "ShareHostFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quorlinth;
using namespace quorlinth::testing;

namespace {

// A UDP socket on 127.0.0.1 that tells whether an ICE connectivity check (a STUN binding
// request) reached it.
class StunProbe {
public:
    StunProbe() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~StunProbe() { close(fd); }

    bool checked() {
        uint8_t packet[1500];
        ssize_t size;
        while ((size = recv(fd, packet, sizeof packet, 0)) >= 8) {
            bool bindingRequest = packet[0] == 0x00 && packet[1] == 0x01;
            bool magicCookie =
                packet[4] == 0x21 && packet[5] == 0x12 && packet[6] == 0xA4 && packet[7] == 0x42;
            seen = seen || (bindingRequest && magicCookie);
        }
        return seen;
    }

    uint16_t port = 0;

private:
    int fd = -1;
    bool seen = false;
};

std::string hostCandidate(int foundation, uint32_t priority, uint16_t port) {
    return "candidate:" + std::to_string(foundation) + " 1 udp " + std::to_string(priority) + " 127.0.0.1 " +
           std::to_string(port) + " typ host";
}

} // namespace

TEST_F(ShareHostTest, ServesDecodedFramesFromReadyToMedia) {
    ASSERT_NO_FATAL_FAILURE(startCliHost());
    ASSERT_NO_FATAL_FAILURE(startController());
    ASSERT_NO_FATAL_FAILURE(negotiateUntilFrames());

    EXPECT_EQ(hostCount("请求 "), 1);
    EXPECT_TRUE(hostLogged("请求 客厅的 Mac controller=" + controllerDevice.id));
    EXPECT_EQ(hostCount("状态 已授权"), 1);
    EXPECT_EQ(controller->lastFrameSize(), std::make_pair(640, 360));
    EXPECT_EQ(controller->state(), RTCPeerConnectionState::connected);

    auto accepts = hostSent("accept");
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(signalSessionID(accepts[0]), sessionID);
    auto answers = hostSent("answer");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(signalSessionID(answers[0]), sessionID);
    auto candidates = hostSent("ice");
    ASSERT_FALSE(candidates.empty());
    for (const auto& candidate : candidates) {
        EXPECT_EQ(signalSessionID(candidate), sessionID);
        EXPECT_NE(field::string(candidate, "candidate", "").find("127.0.0.1"), std::string::npos);
        EXPECT_TRUE(field::string(candidate, "sdp_mid")) << "the host writes an empty mid rather than none";
    }

    // No ICE configuration at the service: direct only. The profile is applied after the answer
    // with the route unknown, then again once the route timer read a direct pair.
    EXPECT_TRUE(hostLogged("中转 无（只能直连）"));
    EXPECT_TRUE(hostLogged(encodingLine(std::nullopt))) << encodingLine(std::nullopt) << "\n"
                                                        << hostTranscript();
    std::string directLine = encodingLine(RTCMediaRoute::direct);
    EXPECT_TRUE(waitFor([&] { return hostLogged(directLine); })) << directLine << "\n" << hostTranscript();
    EXPECT_FALSE(hostLogged("中转分配"));
}

TEST_F(ShareHostTest, IgnoresMessagesOfAnotherSession) {
    ASSERT_NO_FATAL_FAILURE(startCliHost());
    ASSERT_NO_FATAL_FAILURE(startController());

    // Idle: neither a request without an identifier (or with an empty one) nor a message without
    // a type is taken.
    ASSERT_TRUE(tap->injectToHost({{"type", "request"}, {"name", "无标识"}}));
    ASSERT_TRUE(tap->injectToHost({{"session_id", "typeless"}, {"name", "无类型"}}));
    ASSERT_TRUE(tap->injectToHost({{"type", "request"}, {"session_id", ""}, {"name", "空标识"}}));
    ASSERT_NO_FATAL_FAILURE(barrierAfterInjected());
    EXPECT_EQ(hostCount("请求 "), 0);

    // Before the offer: a candidate of another session (slipped in on the host's own socket:
    // the service relays only within a session) and one of this session without "sdp_mid"
    // and "sdp_mline_index" (defaults: none and 0). Only the second is checked by the host.
    ASSERT_NO_FATAL_FAILURE(openAcceptedSession());
    StunProbe foreignProbe, ownProbe;
    ASSERT_TRUE(tap->injectToHost({{"type", "ice"},
                                   {"session_id", "other"},
                                   {"candidate", hostCandidate(1, 2147483000u, foreignProbe.port)}}));
    ASSERT_NO_FATAL_FAILURE(barrierAfterInjected());
    sendFromController({{"type", "ice"},
                        {"session_id", sessionID},
                        {"candidate", hostCandidate(2, 2147482000u, ownProbe.port)}});
    ASSERT_NO_FATAL_FAILURE(sendOfferAndFollow());
    ASSERT_TRUE(waitFor([&] { return controller->framesDecoded() >= 30; }));
    EXPECT_TRUE(waitFor([&] { return ownProbe.checked(); })) << "the session's own candidate was not applied";
    EXPECT_FALSE(foreignProbe.checked()) << "a candidate of another session was applied";

    // What the service would never relay, slipped in on the host's own socket.
    const Json foreign[] = {
        {{"type", "end"}, {"session_id", sessionID + "-other"}},
        {{"type", "end"}},
        {{"type", "end"}, {"session_id", 42}},
        {{"type", "offer"}, {"session_id", "other"}, {"sdp", *controller->offerSdp()}},
        {{"type", "unknown"}, {"session_id", sessionID}},
    };
    for (const auto& message : foreign)
        ASSERT_TRUE(tap->injectToHost(message));
    ASSERT_NO_FATAL_FAILURE(barrierAfterInjected());
    EXPECT_EQ(hostCount("状态 会话结束"), 0);
    EXPECT_EQ(hostSent("answer").size(), 1u);
    uint64_t frames = controller->framesDecoded();
    EXPECT_TRUE(waitFor([&] { return controller->framesDecoded() >= frames + 30; })) << "media stopped";

    // The session's own "end" does end it.
    tap->injectToHost({{"type", "end"}, {"session_id", sessionID}});
    EXPECT_TRUE(waitFor([&] { return hostCount("状态 会话结束") == 1; }));
}

TEST_F(ShareHostTest, IgnoresASecondRequestWhilePendingOrActive) {
    ASSERT_NO_FATAL_FAILURE(startCliHost());
    ASSERT_NO_FATAL_FAILURE(startController());
    sessionID = createSession();
    ASSERT_TRUE(waitFor([&] { return hostCount("请求 ") == 1; }));

    auto intrude = [&](const std::string& id) {
        ASSERT_TRUE(tap->injectToHost(
            {{"type", "request"}, {"session_id", id}, {"controller_id", "intruder"}, {"name", "闯入者"}}));
        ASSERT_NO_FATAL_FAILURE(barrierAfterInjected());
        EXPECT_EQ(hostCount("请求 "), 1) << "the model was asked again";
    };
    ASSERT_NO_FATAL_FAILURE(intrude("intruder-while-pending"));
    EXPECT_TRUE(hostSent("accept").empty());
    EXPECT_TRUE(hostSent("reject").empty());

    host->decide(true);
    ASSERT_TRUE(waitFor([&] { return !controllerReceived("accepted").empty(); }));
    ASSERT_NO_FATAL_FAILURE(intrude("intruder-while-active"));

    // The first session went on undisturbed.
    ASSERT_NO_FATAL_FAILURE(sendOfferAndFollow());
    EXPECT_TRUE(waitFor([&] { return controller->framesDecoded() >= 30; }));
    auto accepts = hostSent("accept");
    ASSERT_EQ(accepts.size(), 1u);
    EXPECT_EQ(signalSessionID(accepts[0]), sessionID);
    EXPECT_TRUE(hostSent("reject").empty());
    EXPECT_EQ(hostCount("状态 已授权"), 1);
}

TEST_F(ShareHostTest, IgnoresAnOfferBeforeTheDecisionAndASecondOffer) {
    ASSERT_NO_FATAL_FAILURE(startCliHost());
    ASSERT_NO_FATAL_FAILURE(startController());
    auto decoy = ScriptedController::create({});
    ASSERT_TRUE(decoy);
    decoy.value()->makeOffer();
    ASSERT_TRUE(waitFor([&] { return decoy.value()->offerSdp().has_value(); }));
    std::string decoyOffer = *decoy.value()->offerSdp();

    sessionID = createSession();
    ASSERT_TRUE(waitFor([&] { return hostCount("请求 ") == 1; }));
    // The service holds back offers until "accept"; this one reaches the host anyway.
    ASSERT_TRUE(tap->injectToHost(makeSdpSignal("offer", sessionID, decoyOffer)));
    ASSERT_NO_FATAL_FAILURE(barrierAfterInjected());
    EXPECT_TRUE(hostSent("answer").empty());

    // Had the host taken the decoy's offer, the real one would find a peer and go unanswered.
    host->decide(true);
    ASSERT_TRUE(waitFor([&] { return !controllerReceived("accepted").empty(); }));
    ASSERT_NO_FATAL_FAILURE(sendOfferAndFollow());
    ASSERT_TRUE(waitFor([&] { return controller->framesDecoded() >= 30; }));

    // A second offer for the running session, relayed by the service.
    sendFromController(makeSdpSignal("offer", sessionID, decoyOffer));
    ASSERT_TRUE(waitFor([&] {
        int offers = 0;
        for (const auto& message : tap->serviceMessages())
            offers += signalType(message) == "offer";
        return offers == 2;
    }));
    ASSERT_NO_FATAL_FAILURE(barrierAfterInjected());
    uint64_t frames = controller->framesDecoded();
    EXPECT_TRUE(waitFor([&] { return controller->framesDecoded() >= frames + 30; })) << "media stopped";
    EXPECT_EQ(hostSent("answer").size(), 1u);
    EXPECT_EQ(hostCount("状态 会话结束"), 0);
}

TEST_F(ShareHostTest, QueuesAtMost256EarlyCandidates) {
    ASSERT_NO_FATAL_FAILURE(startCliHost());
    ASSERT_NO_FATAL_FAILURE(startController());
    ASSERT_NO_FATAL_FAILURE(openAcceptedSession());
    controller->makeOffer();
    ASSERT_TRUE(waitFor([&] { return controller->offerSdp() && !controller->localCandidates().empty(); }));

    // Before the offer: the controller's own candidates, fillers up to 256, then one more.
    // The last two get the highest priorities, the 257th above the 256th, so the host's ICE
    // agent would check the 257th first had it been kept.
    StunProbe last, dropped;
    auto own = controller->localCandidates();
    std::optional<std::string> mid = own[0].sdpMid;
    int32_t line = own[0].sdpMLineIndex;
    int sent = 0;
    // The service meters a controller's burst of frames: the candidates reach the host through the
    // tap, in order, ahead of the offer that the service relays.
    for (const auto& candidate : own) {
        ASSERT_TRUE(tap->injectToHost(makeIceSignal(sessionID, candidate)));
        ++sent;
    }
    candidatesSent = own.size();
    for (; sent < 255; ++sent)
        ASSERT_TRUE(tap->injectToHost(
            makeIceSignal(sessionID, {hostCandidate(1000 + sent, 100 + sent, 9), mid, line})));
    ASSERT_TRUE(tap->injectToHost(
        makeIceSignal(sessionID, {hostCandidate(2000, 2147482000u, last.port), mid, line})));
    ASSERT_TRUE(tap->injectToHost(
        makeIceSignal(sessionID, {hostCandidate(2001, 2147483000u, dropped.port), mid, line})));
    sendFromController(makeSdpSignal("offer", sessionID, *controller->offerSdp()));
    offerSent = true;

    EXPECT_TRUE(waitFor([&] { return controller->framesDecoded() >= 10; }));
    EXPECT_TRUE(waitFor([&] { return last.checked(); })) << "the 256th candidate was not applied";
    EXPECT_FALSE(dropped.checked()) << "the 257th candidate was applied";
}

TEST_F(ShareHostTest, EndFromTheControllerEndsTheHostSession) {
    ASSERT_NO_FATAL_FAILURE(startCliHost());
    ASSERT_NO_FATAL_FAILURE(startController());
    ASSERT_NO_FATAL_FAILURE(negotiateUntilFrames());

    sendFromController(makeSignal("end", sessionID));
    ASSERT_TRUE(waitFor([&] { return hostCount("状态 会话结束") == 1; }));
    EXPECT_TRUE(hostSent("end").empty()) << "ending on the peer's word sends nothing back";

    // The host is idle again: the next request reaches the model.
    std::string first = sessionID;
    ASSERT_NO_FATAL_FAILURE(openAcceptedSession());
    EXPECT_NE(sessionID, first);
    EXPECT_EQ(hostCount("请求 "), 2);
}

TEST_F(ShareHostTest, EndFromTheHostReachesTheController) {
    ASSERT_NO_FATAL_FAILURE(startCliHost());
    ASSERT_NO_FATAL_FAILURE(startController());

    // Refused: the host answers "reject", which the service turns into "end" for the controller.
    std::string refused = createSession();
    ASSERT_TRUE(waitFor([&] { return hostCount("请求 ") == 1; }));
    host->decide(false);
    ASSERT_TRUE(waitFor([&] { return !controllerReceived("end").empty(); }));
    Json rejected = controllerReceived("end").back();
    EXPECT_EQ(signalSessionID(rejected), refused);
    EXPECT_EQ(field::string(rejected, "reason"), "rejected");
    EXPECT_EQ(hostSent("reject").size(), 1u);
    EXPECT_TRUE(waitFor([&] { return hostCount("状态 会话结束") == 1; }));

    // Running: stopping the host sends "end" for its session.
    ASSERT_NO_FATAL_FAILURE(negotiateUntilFrames());
    host->stop();
    ASSERT_TRUE(waitFor([&] { return controllerReceived("end").size() == 2; }));
    Json ended = controllerReceived("end").back();
    EXPECT_EQ(signalSessionID(ended), sessionID);
    EXPECT_EQ(field::string(ended, "reason"), "host_ended");
    EXPECT_TRUE(waitFor([&] { return !tap->hostCloseCodes().empty(); }));
    EXPECT_EQ(tap->hostCloseCodes().back(), 1000);
}
