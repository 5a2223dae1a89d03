#include "rtc/RTCStatisticsMapping.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

// The engine's own report, dash-named, with the candidate entry types swapped.
Json engineReport() {
    return Json::parse(R"({
      "transport": {"type": "transport", "selected-candidate-pair-id": "pair-1", "timestamp": 12.5},
      "pair-1": {"type": "candidate-pair", "local-candidate-id": "ice-candidate-local_a",
                 "remote-candidate-id": "ice-candidate-remote_b"},
      "ice-candidate-local_a": {"type": "remote-candidate", "candidate-type": "host", "protocol": "udp",
                                "address": "127.0.0.1", "port": 50000},
      "ice-candidate-remote_b": {"type": "local-candidate", "candidate-type": "relay", "protocol": "udp"},
      "ice-candidate-local_c": {"type": "remote-candidate", "candidate-type": "host", "protocol": "tcp"},
      "rtp-in": {"type": "inbound-rtp", "packets-received": 900, "bytes-received": 1200000, "packets-lost": 0,
                 "jitter": 0.002, "codec-id": "codec-96"},
      "rtp-out": {"type": "outbound-rtp", "bytes-sent": 5000, "packets-sent": 9},
      "remote-in": {"type": "remote-inbound-rtp", "round-trip-time": 0.004},
      "codec-96": {"type": "codec", "mime-type": "video/H264",
                   "sdp-fmtp-line": "packetization-mode=1;profile-level-id=42e01f"},
      "odd": {"no-type": 1}
    })");
}

} // namespace

TEST(RTCStatisticsMapping, RenamesDashNamesToW3CMembers) {
    const std::pair<const char*, const char*> rows[] = {
        {"packets-received", "packetsReceived"},
        {"selected-candidate-pair-id", "selectedCandidatePairId"},
        {"candidate-type", "candidateType"},
        {"sdp-fmtp-line", "sdpFmtpLine"},
        {"jitter", "jitter"},
        {"mime-type", "mimeType"}};
    for (const auto& [dash, w3c] : rows) {
        SCOPED_TRACE(dash);
        EXPECT_EQ(w3cMemberName(dash), w3c);
    }
}

TEST(RTCStatisticsMapping, TypesCandidatesByThePairThatNamesThem) {
    RTCStatisticsInputs inputs;
    inputs.engineReport = engineReport();
    inputs.iceConnected = true;
    auto report = buildStatisticsReport(inputs);
    EXPECT_EQ(report.count("odd"), 0u);
    EXPECT_EQ(report.at("transport").values["selectedCandidatePairId"], "pair-1");
    EXPECT_EQ(report.at("ice-candidate-local_a").type, "local-candidate");
    EXPECT_EQ(report.at("ice-candidate-local_a").values["candidateType"], "host");
    EXPECT_EQ(report.at("ice-candidate-remote_b").type, "remote-candidate");
    EXPECT_EQ(report.at("ice-candidate-remote_b").values["candidateType"], "relay");
    EXPECT_EQ(report.at("ice-candidate-local_c").type, "local-candidate"); // in no pair: by its id
    const auto& pair = report.at("pair-1").values;
    EXPECT_EQ(pair["state"], "succeeded");
    EXPECT_EQ(pair["nominated"], true);
    EXPECT_DOUBLE_EQ(pair["currentRoundTripTime"].get<double>(), 0.004);
    EXPECT_FALSE(pair.contains("availableOutgoingBitrate")); // unknown: absent
    EXPECT_EQ(report.at("codec-96").values["mimeType"], "video/H264");
}

TEST(RTCStatisticsMapping, AddsDecoderAndEncoderFiguresOnlyWhereKnown) {
    RTCStatisticsInputs inputs;
    inputs.engineReport = engineReport();
    auto bare = buildStatisticsReport(inputs);
    EXPECT_FALSE(bare.at("rtp-in").values.contains("framesDecoded"));
    EXPECT_FALSE(bare.at("pair-1").values.contains("state")); // not connected: not claimed
    EXPECT_EQ(bare.at("rtp-in").values["kind"], "video");

    inputs.decoder = RTCDecoderCounters{120, 1920, 1080, 30.0, 1, 2};
    inputs.encoder = RTCEncoderCounters{300, 1728, 1080, std::nullopt, 4'000'000};
    auto report = buildStatisticsReport(inputs);
    const auto& inbound = report.at("rtp-in").values;
    EXPECT_EQ(inbound["framesDecoded"], 120);
    EXPECT_EQ(inbound["frameWidth"], 1920);
    EXPECT_EQ(inbound["frameHeight"], 1080);
    EXPECT_EQ(inbound["framesPerSecond"], 30.0);
    EXPECT_EQ(inbound["framesDropped"], 1);
    EXPECT_EQ(inbound["freezeCount"], 2);
    EXPECT_EQ(inbound["decoderImplementation"], "libavcodec");
    EXPECT_EQ(inbound["codecId"], "codec-96");
    EXPECT_FALSE(inbound.contains("qpSum"));
    const auto& outbound = report.at("rtp-out").values;
    EXPECT_EQ(outbound["framesEncoded"], 300);
    EXPECT_EQ(outbound["frameWidth"], 1728);
    EXPECT_EQ(outbound["targetBitrate"], 4'000'000);
    EXPECT_FALSE(outbound.contains("framesPerSecond")); // no frame in the last second
    EXPECT_EQ(outbound["qualityLimitationReason"], "none");
    EXPECT_EQ(outbound["encoderImplementation"], "x264");
    EXPECT_EQ(outbound["bytesSent"], 5000);

    inputs.encoder->limitedByBandwidth = true; // the rate controller holds the target down
    EXPECT_EQ(buildStatisticsReport(inputs).at("rtp-out").values["qualityLimitationReason"], "bandwidth");
}

TEST(RTCStatisticsMapping, CompletesBareCodecEntriesFromTheNegotiatedCodec) {
    RTCStatisticsInputs inputs;
    inputs.engineReport = Json::parse(R"({"codec-stats-src_0": {"type": "codec"},
                                          "codec-full": {"type": "codec", "mime-type": "video/H264", "payload-type": 96}})");
    inputs.videoCodec =
        RTCSdpVideoCodec{102, {"H264", {{"profile-level-id", "42e01f"}}}, "profile-level-id=42e01f"};
    auto report = buildStatisticsReport(inputs);
    const auto& bare = report.at("codec-stats-src_0").values;
    EXPECT_EQ(bare["mimeType"], "video/H264");
    EXPECT_EQ(bare["payloadType"], 102);
    EXPECT_EQ(bare["clockRate"], 90000);
    EXPECT_EQ(bare["sdpFmtpLine"], "profile-level-id=42e01f");
    EXPECT_EQ(report.at("codec-full").values["payloadType"], 96); // the engine's own value wins
}

TEST(RTCStatisticsMapping, FoldsRetransmissionStreamsIntoThePicturesStream) {
    RTCStatisticsInputs inputs;
    inputs.engineReport = Json::parse(R"({
      "out-picture": {"type": "outbound-rtp", "ssrc": 1, "bytes-sent": 900000, "packets-sent": 800},
      "out-rtx": {"type": "outbound-rtp", "ssrc": 2, "bytes-sent": 12000, "packets-sent": 10,
                  "remote-id": "remote-rtx"},
      "remote-rtx": {"type": "remote-inbound-rtp", "ssrc": 2, "round-trip-time": 0.04,
                     "local-id": "out-rtx"},
      "in-rtx": {"type": "inbound-rtp", "ssrc": 4, "bytes-received": 2400, "packets-received": 2},
      "in-picture": {"type": "inbound-rtp", "ssrc": 3, "bytes-received": 450000, "packets-received": 400}
    })");
    inputs.encoder = RTCEncoderCounters{300, 1920, 1080, 30.0, 4'000'000};
    auto report = buildStatisticsReport(inputs);
    EXPECT_FALSE(report.count("out-rtx"));
    EXPECT_FALSE(report.count("in-rtx"));
    const auto& sent = report.at("out-picture").values;
    EXPECT_EQ(sent["bytesSent"], 912000.0);
    EXPECT_EQ(sent["packetsSent"], 810.0);
    EXPECT_EQ(sent["retransmittedBytesSent"], 12000.0);
    EXPECT_EQ(sent["retransmittedPacketsSent"], 10.0);
    EXPECT_EQ(sent["framesEncoded"], 300);
    EXPECT_EQ(report.at("remote-rtx").values["localId"], "out-picture");
    const auto& received = report.at("in-picture").values;
    EXPECT_EQ(received["bytesReceived"], 452400.0);
    EXPECT_EQ(received["retransmittedPacketsReceived"], 2.0);

    // One stream each way: nothing changes.
    auto plain = buildStatisticsReport(RTCStatisticsInputs{engineReport()});
    EXPECT_EQ(plain.at("rtp-out").values["bytesSent"], 5000);
    EXPECT_FALSE(plain.at("rtp-out").values.contains("retransmittedBytesSent"));
}
