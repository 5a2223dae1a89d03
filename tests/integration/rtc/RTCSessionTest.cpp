// Two engine processes in a private network namespace: the receive-only offerer (controller)
// and the send-only answerer (host) negotiate with trickled candidates and exchange media and
// data-channel messages.

#include "PeerProcess.h"
#include "base/Encoding.h"
#include "rtc/RTCDataChannel.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

using namespace quorlinth;
using namespace quorlinth::testing;
using namespace std::chrono_literals;

namespace {

constexpr auto kGenerous = 20s;

std::string peerProgram() {
    return std::string(QUORLINTH_RTC_TEST_PEER);
}

bool isEvent(const Json& event, const std::string& name) {
    return field::string(event, "event").value_or("") == name;
}

// A connected pair of engine processes. `offererLauncher` runs the offerer through another
// program (nsenter into another namespace).
struct Session {
    explicit Session(std::vector<std::string> offererFlags = {}, std::vector<std::string> answererFlags = {},
                     std::vector<std::string> offererLauncher = {}) {
        std::vector<std::string> offererArguments = offererLauncher;
        offererArguments.insert(offererArguments.end(), {peerProgram(), "offerer"});
        offererArguments.insert(offererArguments.end(), offererFlags.begin(), offererFlags.end());
        std::vector<std::string> answererArguments{peerProgram(), "answerer"};
        answererArguments.insert(answererArguments.end(), answererFlags.begin(), answererFlags.end());
        answerer = std::make_unique<PeerProcess>(answererArguments);
        offerer = std::make_unique<PeerProcess>(offererArguments);
        offerer->relaySignalsTo(*answerer);
        answerer->relaySignalsTo(*offerer);
    }

    bool connected() {
        auto isConnected = [](const Json& event) {
            return isEvent(event, "peer-state") && field::int32(event, "state") == 2;
        };
        return offerer->waitFor(isConnected, kGenerous) && answerer->waitFor(isConnected, kGenerous);
    }

    bool channelsOpen() {
        for (const char* label : {"control", "transfer"}) {
            auto open = [label](const Json& event) {
                return isEvent(event, "channel-state") && field::string(event, "label") == label &&
                       field::int32(event, "state") == 1;
            };
            if (!offerer->waitFor(open, kGenerous)) return false;
            auto accepted = [label](const Json& event) {
                return isEvent(event, "remote-channel") && field::string(event, "label") == label;
            };
            if (!answerer->waitFor(accepted, kGenerous)) return false;
        }
        return true;
    }

    std::optional<Json> frameOfSize(int width, int height) {
        return offerer->waitFor(
            [&](const Json& event) {
                return isEvent(event, "frame") && field::int32(event, "width") == width &&
                       field::int32(event, "height") == height;
            },
            kGenerous);
    }

    std::unique_ptr<PeerProcess> answerer;
    std::unique_ptr<PeerProcess> offerer;
};

std::string signalSdp(PeerProcess& peer, const std::string& type) {
    auto event = peer.waitFor(
        [&](const Json& event) { return isEvent(event, "signal") && field::string(event, "type") == type; },
        kGenerous);
    return event ? field::string(*event, "sdp").value_or("") : "";
}

} // namespace

TEST(RTCPeerConnection, NegotiatesWithTrickledCandidatesAndDeliversFullHdFrames) {
    Session session({"--level-raised"});
    std::string offer = signalSdp(*session.offerer, "offer");
    std::string answer = signalSdp(*session.answerer, "answer");
    // The controller's raised codec list advertises level 5.1; the host answers send-only with
    // one of the offered profiles pinned.
    EXPECT_NE(offer.find("profile-level-id=42e033"), std::string::npos) << offer;
    EXPECT_NE(offer.find("a=recvonly"), std::string::npos);
    EXPECT_NE(answer.find("a=sendonly"), std::string::npos) << answer;
    EXPECT_NE(answer.find("profile-level-id=42e033"), std::string::npos) << answer;
    EXPECT_TRUE(session.offerer->waitFor(
        [](const Json& e) { return isEvent(e, "signal") && field::string(e, "type") == "ice"; }, kGenerous));
    EXPECT_TRUE(session.answerer->waitFor(
        [](const Json& e) { return isEvent(e, "signal") && field::string(e, "type") == "ice"; }, kGenerous));
    ASSERT_TRUE(session.connected());

    session.answerer->send({{"cmd", "push"}, {"width", 1920}, {"height", 1080}, {"fps", 30}});
    auto frame = session.frameOfSize(1920, 1080);
    ASSERT_TRUE(frame);
    // The centre block was pushed pure blue: B high, G and R low after the round trip.
    auto centre = (*frame)["centre"];
    EXPECT_GT(centre[0].get<int>(), 200);
    EXPECT_LT(centre[1].get<int>(), 50);
    EXPECT_LT(centre[2].get<int>(), 50);
    EXPECT_TRUE(session.offerer->waitFor(
        [](const Json& e) { return isEvent(e, "frame") && field::int32(e, "count").value_or(0) >= 60; },
        kGenerous));
}

TEST(RTCVideoSource, AdaptedSizeArrivesAtTheAdaptedSize) {
    Session session;
    ASSERT_TRUE(session.connected());
    session.answerer->send({{"cmd", "push"},
                            {"width", 2880},
                            {"height", 1800},
                            {"fps", 30},
                            {"adapt_width", 1728},
                            {"adapt_height", 1080}});
    EXPECT_TRUE(session.frameOfSize(1728, 1080));
    // The size may change while streaming.
    session.answerer->send({{"cmd", "push"}, {"width", 1920}, {"height", 1080}, {"fps", 30}});
    EXPECT_TRUE(session.frameOfSize(1920, 1080));
}

TEST(RTCDataChannel, CarriesTextAndBinaryBothWaysInOrder) {
    Session session;
    ASSERT_TRUE(session.connected());
    ASSERT_TRUE(session.channelsOpen());
    struct Row {
        const char* label;
        bool fromOfferer;
        bool binary;
    };
    const Row rows[] = {{"control", true, false},  {"control", false, false}, {"transfer", true, true},
                        {"transfer", false, true}, {"transfer", true, false}, {"control", false, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.label) + (row.fromOfferer ? " offerer→answerer" : " answerer→offerer") +
                     (row.binary ? " binary" : " text"));
        PeerProcess& from = row.fromOfferer ? *session.offerer : *session.answerer;
        PeerProcess& to = row.fromOfferer ? *session.answerer : *session.offerer;
        std::vector<std::string> sent;
        for (int index = 0; index < 50; ++index) {
            std::string text = std::string(row.label) + " 消息 " + std::to_string(index);
            Bytes binary = toBytes(text);
            binary.push_back(0); // binary payloads may hold zero bytes
            sent.push_back(row.binary ? base64Encode(binary) : text);
            from.send({{"cmd", "send"}, {"label", row.label}, {"binary", row.binary}, {"data", sent.back()}});
        }
        auto isMine = [&](const Json& event) {
            if (!isEvent(event, "message") || field::string(event, "label") != row.label ||
                field::boolean(event, "binary") != row.binary)
                return false;
            auto data = field::string(event, "data").value_or("");
            return std::find(sent.begin(), sent.end(), data) != sent.end();
        };
        ASSERT_TRUE(to.waitFor(
            [&](const Json& event) { return isMine(event) && field::string(event, "data") == sent.back(); },
            kGenerous));
        std::vector<std::string> received;
        for (const auto& event : to.events())
            if (isMine(event)) received.push_back(field::string(event, "data").value_or(""));
        EXPECT_EQ(received, sent);
    }
}

// A whole clipboard text travels as one message: both ends accept the largest size either
// may send, and the pieces the engine delivers it in are joined again.
TEST(RTCDataChannel, CarriesMessagesOfTheLargestSizeBothWays) {
    Session session;
    ASSERT_TRUE(session.connected());
    ASSERT_TRUE(session.channelsOpen());
    for (bool fromOfferer : {true, false}) {
        SCOPED_TRACE(fromOfferer ? "offerer→answerer" : "answerer→offerer");
        PeerProcess& from = fromOfferer ? *session.offerer : *session.answerer;
        PeerProcess& to = fromOfferer ? *session.answerer : *session.offerer;
        // Our channels carry one JSON value per text message; this one is exactly the largest size.
        std::string head = R"({"type":"clip","text":")";
        std::string text =
            head + std::string(RTCDataChannel::kMaxMessageSize - head.size() - 5, 'o') + "字\"}";
        from.send({{"cmd", "send"}, {"label", "transfer"}, {"data", text}});
        auto sent = from.waitForEvent("sent", kGenerous);
        ASSERT_TRUE(sent);
        EXPECT_EQ(field::boolean(*sent, "ok"), true);
        EXPECT_TRUE(to.waitFor(
            [&](const Json& event) {
                return isEvent(event, "message") && field::string(event, "data") == text;
            },
            kGenerous));
    }
}

TEST(RTCDataChannel, BufferedAmountRisesFallsAndNotifiesWhenLow) {
    Session session;
    ASSERT_TRUE(session.connected());
    ASSERT_TRUE(session.channelsOpen());
    // 16 MB at once: far more than the SCTP socket holds.
    session.offerer->send(
        {{"cmd", "flood"}, {"label", "transfer"}, {"count", 280}, {"size", 60000}, {"low", 1048575}});
    auto flooded = session.offerer->waitForEvent("flooded", kGenerous);
    ASSERT_TRUE(flooded);
    EXPECT_TRUE(field::boolean(*flooded, "ok").value_or(false));
    EXPECT_FALSE(field::boolean(*flooded, "oversize_sent").value_or(true));
    EXPECT_GT(field::int64(*flooded, "peak").value_or(0), 4'000'000);
    EXPECT_LE(field::int64(*flooded, "peak").value_or(0), 280 * 60000);
    auto low = session.offerer->waitForEvent("buffered-low", 60s);
    ASSERT_TRUE(low);
    EXPECT_LE(field::int64(*low, "amount").value_or(-1), 1048575);
    // Everything arrives; then nothing is left buffered.
    size_t arrived = 0;
    auto last = session.answerer->waitFor(
        [&](const Json& event) {
            arrived += isEvent(event, "message") && field::string(event, "label") == "transfer";
            return arrived >= 280;
        },
        60s);
    EXPECT_TRUE(last);
    session.offerer->send({{"cmd", "flood"}, {"label", "transfer"}, {"count", 0}, {"size", 1}});
    auto idle = session.offerer->waitFor(
        [](const Json& e) { return isEvent(e, "flooded") && field::int64(e, "peak") == 0; }, kGenerous);
    ASSERT_TRUE(idle);
    EXPECT_EQ(field::int64(*idle, "after"), 0);
}

namespace {

// Asks for statistics until `accept` holds for a report (the first reports may predate media).
std::optional<Json> statsWhere(PeerProcess& peer, const std::function<bool(const Json&)>& accept) {
    for (int attempt = 0; attempt < 60; ++attempt) {
        size_t seen = 0;
        for (const auto& event : peer.events())
            seen += isEvent(event, "stats");
        peer.send({{"cmd", "stats"}});
        size_t index = 0;
        auto reply = peer.waitFor(
            [&](const Json& event) { return isEvent(event, "stats") && ++index > seen; }, kGenerous);
        if (!reply) return std::nullopt;
        if (accept((*reply)["report"])) return (*reply)["report"];
        std::this_thread::sleep_for(250ms);
    }
    return std::nullopt;
}

std::optional<Json> firstOfType(const Json& report, const std::string& type) {
    for (const auto& [id, entry] : report.items())
        if (field::string(entry, "type") == type) return entry;
    return std::nullopt;
}

double numberOf(const Json& entry, const char* name) {
    return field::number(entry, name).value_or(-1);
}

// Follows transport → selected pair → candidates, as the sessions read the route.
void expectSelectedRoute(const Json& report) {
    auto transport = firstOfType(report, "transport");
    ASSERT_TRUE(transport);
    auto pairId = field::string(*transport, "selectedCandidatePairId");
    ASSERT_TRUE(pairId);
    ASSERT_TRUE(report.contains(*pairId));
    const Json& pair = report[*pairId];
    EXPECT_EQ(field::string(pair, "type"), "candidate-pair");
    EXPECT_EQ(field::string(pair, "state"), "succeeded");
    EXPECT_EQ(field::boolean(pair, "nominated"), true);
    for (const char* side : {"localCandidateId", "remoteCandidateId"}) {
        SCOPED_TRACE(side);
        auto id = field::string(pair, side);
        ASSERT_TRUE(id && report.contains(*id));
        const Json& candidate = report[*id];
        EXPECT_EQ(field::string(candidate, "type"),
                  std::string(side) == "localCandidateId" ? "local-candidate" : "remote-candidate");
        EXPECT_EQ(field::string(candidate, "candidateType"), "host");
        EXPECT_EQ(field::string(candidate, "protocol"), "udp");
    }
}

} // namespace

TEST(RTCStatistics, ReportsCarryTheW3CFieldsWithPlausibleValues) {
    Session session;
    ASSERT_TRUE(session.connected());
    session.answerer->send(
        {{"cmd", "encoding"}, {"max_bitrate", 4000000}, {"min_bitrate", 1000000}, {"max_framerate", 30}});
    ASSERT_TRUE(session.answerer->waitFor(
        [](const Json& e) { return isEvent(e, "encoding") && field::boolean(e, "ok") == true; }, kGenerous));
    session.answerer->send({{"cmd", "push"}, {"width", 1920}, {"height", 1080}, {"fps", 30}});
    ASSERT_TRUE(session.frameOfSize(1920, 1080));

    auto received = statsWhere(*session.offerer, [](const Json& report) {
        auto inbound = firstOfType(report, "inbound-rtp");
        return inbound && numberOf(*inbound, "framesDecoded") >= 30 &&
               numberOf(*inbound, "framesPerSecond") > 0;
    });
    ASSERT_TRUE(received);
    expectSelectedRoute(*received);
    auto inbound = *firstOfType(*received, "inbound-rtp");
    EXPECT_EQ(field::string(inbound, "kind"), "video");
    EXPECT_GT(numberOf(inbound, "bytesReceived"), 10000);
    EXPECT_GT(numberOf(inbound, "packetsReceived"), 30);
    if (inbound.contains("packetsLost")) {
        EXPECT_GE(numberOf(inbound, "packetsLost"), 0);
    }
    EXPECT_GE(numberOf(inbound, "jitter"), 0);
    EXPECT_EQ(numberOf(inbound, "frameWidth"), 1920);
    EXPECT_EQ(numberOf(inbound, "frameHeight"), 1080);
    EXPECT_LE(numberOf(inbound, "framesPerSecond"), 40);
    EXPECT_GE(numberOf(inbound, "framesDropped"), 0);
    EXPECT_GE(numberOf(inbound, "freezeCount"), 0);
    EXPECT_EQ(field::string(inbound, "decoderImplementation"), "libavcodec");
    EXPECT_FALSE(inbound.contains("qpSum")); // unknown to the decoder: absent, not invented
    auto codecId = field::string(inbound, "codecId");
    ASSERT_TRUE(codecId && received->contains(*codecId));
    EXPECT_EQ(field::string((*received)[*codecId], "mimeType"), "video/H264");
    EXPECT_NE(field::string((*received)[*codecId], "sdpFmtpLine").value_or("").find("profile-level-id"),
              std::string::npos);

    auto sent = statsWhere(*session.answerer, [](const Json& report) {
        auto outbound = firstOfType(report, "outbound-rtp");
        return outbound && numberOf(*outbound, "framesEncoded") >= 30 && numberOf(*outbound, "bytesSent") > 0;
    });
    ASSERT_TRUE(sent);
    expectSelectedRoute(*sent);
    auto outbound = *firstOfType(*sent, "outbound-rtp");
    EXPECT_EQ(field::string(outbound, "kind"), "video");
    EXPECT_EQ(numberOf(outbound, "frameWidth"), 1920);
    EXPECT_EQ(numberOf(outbound, "frameHeight"), 1080);
    EXPECT_GT(numberOf(outbound, "framesPerSecond"), 0);
    // Rate adaptation may already hold the target below the ceiling on a busy machine; the
    // reason says so exactly when it does.
    double target = numberOf(outbound, "targetBitrate");
    EXPECT_GE(target, 1000000);
    EXPECT_LE(target, 4000000);
    EXPECT_EQ(field::string(outbound, "qualityLimitationReason"), target < 4000000 ? "bandwidth" : "none");
    EXPECT_EQ(field::string(outbound, "encoderImplementation"), "x264");

    // Encoding parameters apply while streaming.
    session.answerer->send({{"cmd", "encoding"}, {"max_bitrate", 2500000}});
    auto lowered = statsWhere(*session.answerer, [](const Json& report) {
        auto outbound = firstOfType(report, "outbound-rtp");
        return outbound && numberOf(*outbound, "targetBitrate") <= 2500000;
    });
    EXPECT_TRUE(lowered);
}

// Closing must release the engine with everything it started: a host serves one session after
// another for days, and every leaked session kept its threads and sockets.
TEST(RTCPeerConnection, CloseEndsEveryEngineThread) {
    Session session;
    ASSERT_TRUE(session.connected());
    ASSERT_TRUE(session.channelsOpen());
    session.answerer->send({{"cmd", "push"}, {"width", 640}, {"height", 360}, {"fps", 30}});
    ASSERT_TRUE(session.frameOfSize(640, 360));
    for (PeerProcess* peer : {session.answerer.get(), session.offerer.get()}) {
        peer->send({{"cmd", "quit"}});
        auto closed = peer->waitForEvent("closed", kGenerous);
        ASSERT_TRUE(closed);
        EXPECT_EQ(field::int32(*closed, "engine_threads"), 0) << closed->dump();
    }
}

TEST(RTCPeerConnection, SurvivorReportsAKilledPeerFailed) {
    for (bool killAnswerer : {true, false}) {
        SCOPED_TRACE(killAnswerer ? "answerer killed" : "offerer killed");
        Session session({"--consent-ms", "3000"}, {"--consent-ms", "3000"});
        ASSERT_TRUE(session.connected());
        session.answerer->send({{"cmd", "push"}, {"width", 640}, {"height", 360}, {"fps", 30}});
        ASSERT_TRUE(session.frameOfSize(640, 360));
        PeerProcess& victim = killAnswerer ? *session.answerer : *session.offerer;
        PeerProcess& survivor = killAnswerer ? *session.offerer : *session.answerer;
        victim.kill();
        auto failed = survivor.waitFor(
            [](const Json& event) {
                return isEvent(event, "peer-state") && field::int32(event, "state") == 4;
            },
            kGenerous);
        EXPECT_TRUE(failed);
        EXPECT_TRUE(survivor.waitFor(
            [](const Json& event) {
                return isEvent(event, "ice-state") && field::int32(event, "state") == 4;
            },
            kGenerous));
    }
}

namespace {

// The targets the sender's encoder reports, one per statistics request, until `done` holds for
// the newest (at most `limit`).
std::optional<double> targetWhen(PeerProcess& sender, const std::function<bool(double)>& done,
                                 std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto report = statsWhere(
            sender, [](const Json& report) { return firstOfType(report, "outbound-rtp").has_value(); });
        if (!report) return std::nullopt;
        double target = numberOf(*firstOfType(*report, "outbound-rtp"), "targetBitrate");
        if (done(target)) return target;
        std::this_thread::sleep_for(500ms);
    }
    return std::nullopt;
}

// A session whose offerer sits behind `link` (the link emulator), in the emulator's namespace.
std::unique_ptr<Session> sessionBehind(PeerProcess& link) {
    auto ready = link.waitForEvent("ready", kGenerous);
    if (!ready) return nullptr;
    std::string farSide =
        "--net=/proc/" + std::to_string(field::int64(*ready, "pid").value_or(0)) + "/ns/net";
    return std::make_unique<Session>(std::vector<std::string>{"--address", "10.77.0.2"},
                                     std::vector<std::string>{"--address", "10.77.0.1"},
                                     std::vector<std::string>{"/usr/bin/nsenter", farSide});
}

} // namespace

// The sender's rate adaptation through the real engine over an impaired link: the receiving
// offerer sits behind the link emulator in a namespace of its own; the emulator drops packets
// both ways while told to. The encoder's target falls below the ceiling on loss and climbs again
// once the loss stops.
TEST(RTCRateAdaptation, EncoderTargetFallsOnLossAndRisesWhenItStops) {
    PeerProcess link({QUORLINTH_LINK_EMULATOR, "--rate", "50000000", "--delay", "10"});
    auto behind = sessionBehind(link);
    ASSERT_TRUE(behind && behind->connected());
    Session& session = *behind;
    constexpr double kCeiling = 8'000'000;
    session.answerer->send({{"cmd", "encoding"}, {"max_bitrate", kCeiling}, {"max_framerate", 30}});
    session.answerer->send({{"cmd", "push"}, {"width", 1280}, {"height", 720}, {"fps", 30}});
    ASSERT_TRUE(session.frameOfSize(1280, 720));
    ASSERT_TRUE(targetWhen(
        *session.answerer, [&](double target) { return target == kCeiling; }, 20s));

    link.send({{"loss_percent", 25}});
    auto fallen = targetWhen(
        *session.answerer, [&](double target) { return target < 0.7 * kCeiling; }, 40s);
    ASSERT_TRUE(fallen) << "the target stayed near the ceiling under 25 % loss";

    link.send({{"loss_percent", 0}});
    auto risen = targetWhen(
        *session.answerer, [&](double target) { return target > 1.3 * *fallen; }, 40s);
    EXPECT_TRUE(risen) << "the target stayed at " << *fallen << " after the loss stopped";
}

// Over a lossy link the picture keeps coming: lost packets are asked for again and retransmitted
// instead of every loss stalling the stream until a key frame gets through whole.
TEST(RTCPeerConnection, KeepsDecodingOverALossyLink) {
    PeerProcess link({QUORLINTH_LINK_EMULATOR, "--rate", "20000000", "--delay", "20", "--loss", "2"});
    auto behind = sessionBehind(link);
    ASSERT_TRUE(behind && behind->connected());
    Session& session = *behind;
    session.answerer->send({{"cmd", "encoding"}, {"max_bitrate", 6'000'000}, {"max_framerate", 30}});
    session.answerer->send({{"cmd", "push"}, {"width", 1280}, {"height", 720}, {"fps", 30}});
    auto decodedAtLeast = [&](int count) {
        return session.offerer->waitFor(
            [&](const Json& event) {
                return isEvent(event, "frame") && field::int32(event, "count") >= count;
            },
            40s);
    };
    // 300 frames are 10 seconds of the stream: about 3,000 packets, some 60 of them lost.
    EXPECT_TRUE(decodedAtLeast(300)) << "the picture stalled under 2 % loss";
}
