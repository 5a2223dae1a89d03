#include "controller/LinkDiagnostics.h"

#include <functional>
#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

// A report with one selected relay path and an inbound video stream.
StatsMap relayReport() {
    return {
        {"T1", {{"type", "transport"}, {"selectedCandidatePairId", "P1"}}},
        {"P1",
         {{"type", "candidate-pair"},
          {"state", "succeeded"},
          {"nominated", true},
          {"localCandidateId", "L1"},
          {"remoteCandidateId", "R1"},
          {"currentRoundTripTime", 0.0234},
          {"availableOutgoingBitrate", 2500000},
          {"requestsSent", 12},
          {"responsesReceived", 11}}},
        {"P2", {{"type", "candidate-pair"}, {"state", "failed"}}},
        {"P3", {{"type", "candidate-pair"}, {"state", "in-progress"}}},
        {"P4", {{"type", "candidate-pair"}}},
        {"L1", {{"type", "local-candidate"}, {"candidateType", "host"}, {"protocol", "udp"}}},
        {"R1", {{"type", "remote-candidate"}, {"candidateType", "relay"}, {"protocol", "udp"}}},
        {"V1",
         {{"type", "inbound-rtp"},
          {"kind", "video"},
          {"bytesReceived", 1000000},
          {"packetsReceived", 1000},
          {"packetsLost", 10},
          {"jitter", 0.004},
          {"framesDecoded", 120},
          {"qpSum", 2400},
          {"frameWidth", 1920},
          {"frameHeight", 1080},
          {"framesPerSecond", 30},
          {"codecId", "C1"},
          {"decoderImplementation", "libav"}}},
        {"C1", {{"type", "codec"}, {"mimeType", "video/H264"}, {"sdpFmtpLine", "profile-level-id=42e033"}}},
    };
}

} // namespace

TEST(LinkDiagnostics, FirstSummaryHasNoRatesAndTheNextHasThem) {
    StatsMap stats = relayReport();
    // Pair counts are ordered by the raw state text.
    auto [first, sample] = LinkDiagnostics::describe(std::nullopt, stats, 100);
    EXPECT_EQ(first,
              "对 4（?1 失败1 进行中1 成功1） · 用 host/udp→relay/udp 往返23ms 可用上行2500kbps 探测12/回应11"
              " · 收 1000包 累计丢10 抖动4ms");
    ASSERT_TRUE(sample);
    EXPECT_EQ(*sample, (LinkDiagnostics::Sample{100, 1000000, 1000, 10}));

    stats["V1"]["bytesReceived"] = 1500000;
    stats["V1"]["packetsReceived"] = 1490;
    stats["V1"]["packetsLost"] = 20;
    stats["V1"]["framesDropped"] = 3;
    stats["V1"]["freezeCount"] = 1;
    auto [second, next] = LinkDiagnostics::describe(sample, stats, 104);
    EXPECT_EQ(second.substr(second.find("收 ")), "收 1490包 1000kbps 丢2.0% 累计丢20 抖动4ms 丢帧3 卡顿1");
    EXPECT_EQ(next->time, 104);
}

TEST(LinkDiagnostics, LossCounterGoingDownCountsAsNoLoss) {
    StatsMap stats = relayReport();
    LinkDiagnostics::Sample previous{100, 1000000, 900, 50};
    auto [text, sample] = LinkDiagnostics::describe(previous, stats, 102);
    EXPECT_NE(text.find("收 1000包 0kbps 丢0.0% 累计丢10"), std::string::npos) << text;
}

TEST(LinkDiagnostics, WithoutInboundVideoKeepsThePreviousSample) {
    StatsMap stats = relayReport();
    stats.erase("V1");
    LinkDiagnostics::Sample previous{100, 1, 2, 3};
    auto [text, sample] = LinkDiagnostics::describe(previous, stats, 104);
    EXPECT_EQ(text.find("收 "), std::string::npos);
    EXPECT_EQ(sample, previous);
}

TEST(LinkDiagnostics, DescribesMissingPairsAndCandidates) {
    struct Case {
        StatsMap stats;
        const char* expected;
    };
    const Case cases[] = {
        {{}, "对 0 · 尚未选定路径"},
        {{{"P1", {{"type", "candidate-pair"}, {"state", "waiting"}}}}, "对 1（等待1） · 尚未选定路径"},
        // No transport entry: the first nominated succeeded pair; a missing candidate is "?".
        {{{"P1",
           {{"type", "candidate-pair"},
            {"state", "succeeded"},
            {"nominated", true},
            {"localCandidateId", "L"}}},
          {"L", {{"type", "local-candidate"}, {"candidateType", "srflx"}}}},
         "对 1（成功1） · 用 srflx/?→?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(LinkDiagnostics::describe(std::nullopt, c.stats, 1).first, c.expected);
    }
}

TEST(LinkDiagnostics, DescribeEdgeCases) {
    struct Case {
        const char* name;
        std::function<void(StatsMap&)> change;
        std::optional<LinkDiagnostics::Sample> previous;
        const char* expected;
    };
    const Case cases[] = {
        {"a transport naming a missing pair falls back to the nominated one",
         [](StatsMap& stats) { stats["T1"]["selectedCandidatePairId"] = "gone"; }, std::nullopt,
         "对 4（?1 失败1 进行中1 成功1） · 用 host/udp→relay/udp 往返23ms 可用上行2500kbps 探测12/回应11"
         " · 收 1000包 累计丢10 抖动4ms"},
        {"probes need both counters; other states keep their own name",
         [](StatsMap& stats) {
             stats["P1"].erase("responsesReceived");
             stats["P1"].erase("currentRoundTripTime");
             stats["P1"].erase("availableOutgoingBitrate");
             stats["P4"]["state"] = "cancelled";
         },
         std::nullopt,
         "对 4（cancelled1 失败1 进行中1 成功1） · 用 host/udp→relay/udp · 收 1000包 累计丢10 抖动4ms"},
        {"a candidate entry that cannot be found is a single ?", [](StatsMap& stats) { stats.erase("L1"); },
         std::nullopt,
         "对 4（?1 失败1 进行中1 成功1） · 用 ?→relay/udp 往返23ms 可用上行2500kbps 探测12/回应11"
         " · 收 1000包 累计丢10 抖动4ms"},
        {"a previous sample taken at the same time gives no rate", [](StatsMap&) {},
         LinkDiagnostics::Sample{100, 0, 0, 0},
         "对 4（?1 失败1 进行中1 成功1） · 用 host/udp→relay/udp 往返23ms 可用上行2500kbps 探测12/回应11"
         " · 收 1000包 累计丢10 抖动4ms"},
        {"no packets in the interval gives a rate but no loss figure",
         [](StatsMap& stats) {
             stats["V1"].erase("jitter");
             stats["V1"]["framesDropped"] = 0;
             stats["V1"]["freezeCount"] = 0;
         },
         LinkDiagnostics::Sample{96, 1000000, 1000, 10},
         "对 4（?1 失败1 进行中1 成功1） · 用 host/udp→relay/udp 往返23ms 可用上行2500kbps 探测12/回应11"
         " · 收 1000包 0kbps 累计丢10"},
        {"audio is not the video stream", [](StatsMap& stats) { stats["V1"]["kind"] = "audio"; },
         std::nullopt,
         "对 4（?1 失败1 进行中1 成功1） · 用 host/udp→relay/udp 往返23ms 可用上行2500kbps 探测12/回应11"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StatsMap stats = relayReport();
        c.change(stats);
        EXPECT_EQ(LinkDiagnostics::describe(c.previous, stats, 100).first, c.expected);
    }
}

TEST(SelectedRoute, FindsTheRouteOnlyWhenThePairIsUnambiguous) {
    StatsMap relay = relayReport();
    auto found = selectedRoute(relay);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->route, RTCMediaRoute::relay);
    EXPECT_EQ(found->localType + "/" + found->localProtocol, "host/udp");

    StatsMap direct = relay;
    direct["R1"]["candidateType"] = "srflx";
    direct["R1"].erase("protocol");
    found = selectedRoute(direct);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->route, RTCMediaRoute::direct);
    EXPECT_EQ(found->remoteProtocol, "?");

    StatsMap twoTransports = relay;
    twoTransports["T2"] = {{"type", "transport"}, {"selectedCandidatePairId", "P2"}};
    EXPECT_FALSE(selectedRoute(twoTransports));

    StatsMap twoNominated = relay;
    twoNominated.erase("T1");
    twoNominated["P2"] = relay["P1"];
    EXPECT_FALSE(selectedRoute(twoNominated));

    StatsMap oneNominated = relay;
    oneNominated.erase("T1");
    EXPECT_TRUE(selectedRoute(oneNominated));

    StatsMap danglingId = relay;
    danglingId["T1"]["selectedCandidatePairId"] = "nope";
    EXPECT_FALSE(selectedRoute(danglingId));

    StatsMap missingType = relay;
    missingType["L1"].erase("candidateType");
    EXPECT_FALSE(selectedRoute(missingType));
}

TEST(VideoLine, ReportsRatesOnlyAgainstAnEarlierSampleWithFewerFrames) {
    StatsMap stats = relayReport();
    auto first = videoLine(std::nullopt, stats, 10);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->first,
              "RTC video 1920x1080 fps=30 codec=video/H264 fmtp=profile-level-id=42e033 decoder=libav");
    VideoSample previous{8, 500000, 60, 1200};
    auto second = videoLine(previous, stats, 10);
    EXPECT_EQ(second->first, "RTC video 1920x1080 fps=30 kbps=2000 avgQP=20.0 codec=video/H264 "
                             "fmtp=profile-level-id=42e033 decoder=libav");
    stats.erase("C1");
    stats["V1"].erase("decoderImplementation");
    EXPECT_EQ(videoLine(VideoSample{8, 0, 120, 0}, stats, 10)->first,
              "RTC video 1920x1080 fps=30 codec=? fmtp=- decoder=-");
    stats.erase("V1");
    EXPECT_FALSE(videoLine(std::nullopt, stats, 10));
}

TEST(NetworkPathDescription, NamesStatusKindsAndFlags) {
    using Kind = NetworkPath::InterfaceKind;
    NetworkPath wired{NetworkPath::Status::satisfied,
                      {Kind::other, Kind::wired},
                      {{Kind::wired, "eth0"}, {Kind::loopback, "lo"}, {Kind::other, "tun0"}},
                      false,
                      false,
                      true,
                      false};
    EXPECT_EQ(describePath(wired),
              "可用 使用 有线 可用[有线 eth0, 回环 lo, 其他/VPN tun0] 计费否 低数据否 IPv4是 IPv6否");
    NetworkPath none{NetworkPath::Status::unsatisfied, {}, {}, true, true, false, true};
    EXPECT_EQ(describePath(none), "不可用 使用 无 可用[] 计费是 低数据是 IPv4否 IPv6是");
    none.status = NetworkPath::Status::requiresConnection;
    EXPECT_EQ(describePath(none).substr(0, 12), "需先连接");
}
