#include "rtc/RTCSdp.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

// The shape of a browser's receive-only H.264 offer (trimmed).
const char* kOffer =
    "v=0\r\n"
    "o=- 1 2 IN IP4 127.0.0.1\r\n"
    "s=-\r\n"
    "t=0 0\r\n"
    "a=group:BUNDLE 0 1\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 102 103 108 109 127 125\r\n"
    "a=mid:0\r\n"
    "a=extmap:3 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01\r\n"
    "a=recvonly\r\n"
    "a=rtpmap:102 H264/90000\r\n"
    "a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f\r\n"
    "a=rtpmap:103 rtx/90000\r\n"
    "a=fmtp:103 apt=102\r\n"
    "a=rtpmap:108 H264/90000\r\n"
    "a=fmtp:108 level-asymmetry-allowed=1;packetization-mode=0;profile-level-id=42e01f\r\n"
    "a=rtpmap:109 H264/90000\r\n"
    "a=fmtp:109 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n"
    "a=rtpmap:127 H264/90000\r\n"
    "a=fmtp:127 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=4d001f\r\n"
    "a=rtpmap:125 H264/90000\r\n"
    "a=fmtp:125 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=f4001f\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
    "a=mid:1\r\n";

bool anyH264(const RTCVideoCodecInfo& info) {
    return info.name == "H264";
}

} // namespace

TEST(RTCSdp, ReadsThePayloadsOfTheFirstVideoSection) {
    auto codecs = offeredVideoCodecs(kOffer);
    ASSERT_EQ(codecs.size(), 6u);
    EXPECT_EQ(codecs[0].payloadType, 102);
    EXPECT_EQ(codecs[0].info.name, "H264");
    EXPECT_EQ(codecs[0].info.parameters.at("profile-level-id"), "42001f");
    EXPECT_EQ(codecs[1].info.name, "rtx");
    EXPECT_EQ(codecs[1].info.parameters.at("apt"), "102");
    EXPECT_EQ(transportCcExtensionId(kOffer), 3);
}

TEST(RTCSdp, ChoosesTheOfferedProfileAConstrainedBaselineStreamFitsBest) {
    struct Row {
        const char* name;
        std::string sdp;
        std::optional<int> chosen;
    };
    std::string onlyMain = "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 H264/90000\r\n"
                           "a=fmtp:96 packetization-mode=1;profile-level-id=4d0033\r\n";
    std::string noMode =
        "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 profile-level-id=42e01f\r\n";
    std::string vp8Only = "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 VP8/90000\r\n";
    std::string shortLevel = "m=video 9 RTP/SAVPF 96\r\na=rtpmap:96 H264/90000\r\n"
                             "a=fmtp:96 packetization-mode=1;profile-level-id=42e01\r\n";
    const Row rows[] = {
        {"browser offer: constrained baseline, mode 1", kOffer, 109},
        {"main profile only", onlyMain, 96},
        {"packetization mode 0 only", noMode, std::nullopt},
        {"no H.264", vp8Only, std::nullopt},
        {"malformed profile-level-id", shortLevel, std::nullopt},
        {"no video section", "v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto chosen = chooseH264ForSending(offeredVideoCodecs(row.sdp), anyH264);
        ASSERT_EQ(chosen.has_value(), row.chosen.has_value());
        if (chosen) {
            EXPECT_EQ(chosen->payloadType, *row.chosen);
        }
    }
}

TEST(RTCSdp, LeavesCodecsTheEncoderFactoryRefuses) {
    auto chosen =
        chooseH264ForSending(offeredVideoCodecs(kOffer), [](const RTCVideoCodecInfo&) { return false; });
    EXPECT_FALSE(chosen);
}

TEST(RTCSdp, NamesTheMaximumMessageSizeInDataSectionsThatNameNone) {
    struct Row {
        const char* name;
        std::string sdp;
        std::string expected;
    };
    const Row rows[] = {
        {"added after the m-line",
         "v=0\r\nm=video 9 X 96\r\na=mid:0\r\nm=application 9 UDP/DTLS/SCTP "
         "webrtc-datachannel\r\na=mid:1\r\n",
         "v=0\r\nm=video 9 X 96\r\na=mid:0\r\nm=application 9 UDP/DTLS/SCTP "
         "webrtc-datachannel\r\na=max-message-size:262144\r\na=mid:1\r\n"},
        {"a named size is kept",
         "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=max-message-size:1000\r\n",
         "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=max-message-size:1000\r\n"},
        {"no data section", "v=0\r\nm=video 9 X 96\r\n", "v=0\r\nm=video 9 X 96\r\n"},
        {"bare line ends", "m=application 9 X\na=mid:1",
         "m=application 9 X\na=max-message-size:262144\na=mid:1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(withMaxMessageSize(row.sdp, 262144), row.expected);
    }
}

TEST(RTCSdp, AddsARetransmissionPayloadForEveryPayloadThatAsksForNack) {
    struct Row {
        const char* name;
        std::string sdp;
        std::string expected;
    };
    const Row rows[] = {
        {"the second payload gains one, numbered past those in use",
         "m=video 9 X 96 97 98\r\na=rtcp-fb:96 nack\r\na=rtcp-fb:97 nack\r\na=rtcp-fb:97 nack pli\r\n"
         "a=rtpmap:98 rtx/90000\r\na=fmtp:98 apt=96\r\nm=application 9 Y\r\n",
         "m=video 9 X 96 97 98 99\r\na=rtcp-fb:96 nack\r\na=rtcp-fb:97 nack\r\na=rtcp-fb:97 nack pli\r\n"
         "a=rtpmap:98 rtx/90000\r\na=fmtp:98 apt=96\r\na=rtpmap:99 rtx/90000\r\na=fmtp:99 apt=97\r\n"
         "m=application 9 Y\r\n"},
        {"a payload without NACK gains none", "m=video 9 X 96\na=rtcp-fb:96 ccm fir\n",
         "m=video 9 X 96\na=rtcp-fb:96 ccm fir\n"},
        {"a last video section gets its lines at the end", "m=video 9 X 100\na=rtcp-fb:100 nack",
         "m=video 9 X 100 96\na=rtcp-fb:100 nack\na=rtpmap:96 rtx/90000\na=fmtp:96 apt=100"},
        {"no video section", "m=application 9 Y\r\n", "m=application 9 Y\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(withRetransmissionForEveryPayload(row.sdp), row.expected);
    }
}
