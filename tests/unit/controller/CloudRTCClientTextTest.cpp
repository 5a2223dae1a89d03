#include "controller/CloudRTCClient.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(CandidateSummary, NamesTypeAndProtocol) {
    struct Case {
        const char* line;
        const char* summary;
    };
    const Case cases[] = {
        {"candidate:1 1 UDP 2122252543 127.0.0.1 50000 typ host", "host udp"},
        {"candidate:2 1 TCP 1518280447 127.0.0.1 9 typ host tcptype active", "host tcp"},
        {"candidate:3 1 udp 41885439 127.0.0.1 3478 typ relay raddr 127.0.0.1 rport 50000", "relay udp"},
        {"candidate:4 1 udp 2122252543 1f0c7b1e-2d3a.local 50000 typ host", "host udp mdns"},
        {"candidate:5 1 udp 2122252543 127.0.0.1 50000", "? udp"},
        {"candidate:6", "? ?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(candidateSummary(c.line), c.summary);
    }
}

TEST(NegotiatedMedia, KeepsVideoCodecAndDirectionLines) {
    std::string answer =
        "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\na=sendonly\r\n"
        "a=rtpmap:96 H264/90000\r\na=fmtp:96 profile-level-id=42e01f\r\nm=application 9 UDP/DTLS/SCTP "
        "webrtc-datachannel\r\na=inactive\r\n";
    EXPECT_EQ(negotiatedMedia(answer),
              "m=video 9 UDP/TLS/RTP/SAVPF 96;a=sendonly;a=rtpmap:96 H264/90000;a=inactive");
    EXPECT_EQ(negotiatedMedia(""), "");
}

TEST(NegotiatedMedia, SplitsOnlyAtLineBreaksAndKeepsEveryCodecLine) {
    struct Case {
        const char* sdp;
        const char* expected;
    };
    const Case cases[] = {
        {"m=video 9 UDP/TLS/RTP/SAVPF 96\r\na=recvonly", "m=video 9 UDP/TLS/RTP/SAVPF 96;a=recvonly"},
        {"m=audio 9 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=sendrecv\r\n", "a=rtpmap:0 PCMU/8000"},
        {"a=sendonly \r\na=inactive\r\n", "a=inactive"},
        {"m=video 9 RTP/AVP 96\na=rtpmap:96 H264/90000", "m=video 9 RTP/AVP 96\na=rtpmap:96 H264/90000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sdp);
        EXPECT_EQ(negotiatedMedia(c.sdp), c.expected);
    }
}

TEST(SessionErrorText, MapsServiceCodesAndKeepsOthers) {
    struct Case {
        const char* code;
        const char* text;
    };
    const Case cases[] = {
        {"pairing_invalid", "设备码或临时密码不正确，或已过期"},
        {"pairing_locked", "错误次数过多，请让对方换一个临时密码"},
        {"device_offline", "对方设备不在线"},
        {"media_not_ready", "对方还没有开启屏幕共享和互联网连接"},
        {"device_busy", "对方正在被其他设备连接"},
        {"controller_not_ready", "本机账号连接未就绪，请稍后重试"},
        {"rate_limited", "尝试太频繁，请一分钟后再试"},
        {"same_device", "不能连接本机"},
        {"device_not_found", "找不到该设备，它可能已被移除；请刷新设备列表后重试"},
        {"服务请求失败", "服务请求失败"},
        {"something_new", "something_new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(sessionErrorText(c.code), c.text);
    }
}
