#include "capture/StreamProfile.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {
constexpr auto kNative = MacShareQuality::native;
constexpr auto kSharp = MacShareQuality::sharp;
constexpr auto kStandard = MacShareQuality::standard;
constexpr std::optional<RTCMediaRoute> kDirect = RTCMediaRoute::direct;
constexpr std::optional<RTCMediaRoute> kRelay = RTCMediaRoute::relay;
constexpr std::optional<RTCMediaRoute> kUnknown = std::nullopt;
} // namespace

TEST(ShareQuality, RawValuesRoundTripAndOthersFail) {
    for (MacShareQuality quality : kAllShareQualities)
        EXPECT_EQ(shareQualityFromRaw(rawValue(quality)), quality);
    EXPECT_EQ(rawValue(kNative), "native");
    EXPECT_EQ(label(kSharp), "清晰 · 长边最高 1920");
    for (const char* raw : {"", "Native", "high", "sharp "})
        EXPECT_FALSE(shareQualityFromRaw(raw)) << raw;
}

TEST(StreamProfile, ResolvesQualityFromLevelAndRoute) {
    struct Case {
        MacShareQuality selected;
        int level;
        std::optional<RTCMediaRoute> route;
        MacStreamProfile expected;
    };
    const Case cases[] = {
        {kNative, 51, kRelay, {kSharp, 4'000'000, 20}},
        {kNative, 51, kDirect, {kNative, 30'000'000, 30}},
        {kNative, 51, kUnknown, {kSharp, 4'000'000, 20}},
        {kNative, 50, kDirect, {kSharp, 12'000'000, 30}},
        {kNative, 42, kDirect, {kSharp, 12'000'000, 30}},
        {kNative, 41, kDirect, {kStandard, 6'000'000, 30}},
        {kSharp, 42, kRelay, {kSharp, 4'000'000, 20}},
        {kSharp, 60, kDirect, {kSharp, 12'000'000, 30}},
        {kStandard, 60, kDirect, {kStandard, 6'000'000, 30}},
        {kStandard, 60, kRelay, {kStandard, 2'500'000, 20}},
        // Before the offer is read every selection is standard on an unknown route.
        {kNative, 0, kUnknown, {kStandard, 2'500'000, 20}},
        {kSharp, 0, kUnknown, {kStandard, 2'500'000, 20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << rawValue(c.selected) << " level " << c.level << " route "
                                        << (c.route ? routeTitle(*c.route) : "unknown"));
        EXPECT_EQ(MacStreamProfile::resolve(c.selected, c.level, c.route), c.expected);
    }
}

TEST(ViewerLevel, TakesTheSmallestLevelOfTheOffer) {
    struct Case {
        const char* sdp;
        int level;
    };
    const Case cases[] = {
        {"a=fmtp:96 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e01f\r\n", 31},
        {"a=fmtp:96 profile-level-id=640033\r\n", 51},
        {"a=fmtp:96 profile-level-id=42e01f\r\na=fmtp:98 profile-level-id=640033\r\n", 31},
        {"a=fmtp:96 profile-level-id=640033\r\na=fmtp:98 profile-level-id=42e01f\r\n", 31},
        {"v=0\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\n", 0},
        {"profile-level-id=4", 4},      // fewer than two characters: all of them
        {"profile-level-id=zz0000", 0}, // only the level byte matters
        {"profile-level-id=4200zz", 0}, // a piece that does not parse is skipped
        {"profile-level-id=4200zz profile-level-id=64002a", 42},
        {"profile-level-id=4200+f", 15}, // a sign is allowed
        {"profile-level-id=", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sdp);
        EXPECT_EQ(viewerLevel(c.sdp), c.level);
    }
}

TEST(OutputSize, ScalesDownToTheCapsKeepingEvenSizes) {
    struct Case {
        int width, height;
        MacShareQuality quality;
        PixelSize expected;
    };
    const Case cases[] = {
        {2880, 1800, kSharp, {1728, 1080}},  {2880, 1800, kStandard, {1152, 720}},
        {2880, 1800, kNative, {2880, 1800}}, {3840, 2160, kSharp, {1920, 1080}},
        {1920, 1080, kSharp, {1920, 1080}},  {1, 1, kNative, {2, 2}},
        {1081, 721, kNative, {1080, 720}},   {1080, 1920, kSharp, {1080, 1920}},
        {5120, 2880, kNative, {3840, 2160}}, {0, 0, kSharp, {2, 2}},
        {10000, 10, kStandard, {1280, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << rawValue(c.quality));
        EXPECT_EQ(outputSize(c.width, c.height, c.quality), c.expected);
    }
}
