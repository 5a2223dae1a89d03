#include "rtc/RTCVideoSource.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

std::vector<uint8_t> solid(int width, int height, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t index = 0; index < pixels.size(); index += 4) {
        pixels[index] = b, pixels[index + 1] = g, pixels[index + 2] = r, pixels[index + 3] = 255;
    }
    return pixels;
}

struct RecordingConsumer : RTCFrameConsumer {
    bool wantsFrame(int64_t) override { return wanted; }
    void consumeFrame(RTCI420Frame frame) override { frames.push_back(std::move(frame)); }
    bool wanted = true;
    std::vector<RTCI420Frame> frames;
};

} // namespace

TEST(RTCVideoSource, ConvertsBgraToI420ScalingTheWholePicture) {
    struct Row {
        int width, height;
        RTCVideoSource::Size output;
    };
    const Row rows[] = {{1920, 1080, {1920, 1080}}, {2880, 1800, {1728, 1080}}, {64, 48, {32, 24}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height));
        // Pure blue: BT.601 limited range gives Y 41, U 240, V 110.
        auto pixels = solid(row.width, row.height, 255, 0, 0);
        auto frame = RTCVideoSource::convert(pixels.data(), row.width, row.height, row.width * 4, row.output);
        ASSERT_TRUE(frame);
        size_t luma = static_cast<size_t>(row.output.width) * row.output.height;
        ASSERT_EQ(frame->planes.size(), luma * 3 / 2);
        EXPECT_NEAR(frame->planes[luma / 2], 41, 3);
        EXPECT_NEAR(frame->planes[luma + luma / 8], 240, 3);
        EXPECT_NEAR(frame->planes[luma + luma / 4 + luma / 8], 110, 3);
    }
}

TEST(RTCVideoSource, RejectsUnusableBuffers) {
    auto pixels = solid(16, 16, 1, 2, 3);
    EXPECT_FALSE(RTCVideoSource::convert(nullptr, 16, 16, 64, {16, 16}));
    EXPECT_FALSE(RTCVideoSource::convert(pixels.data(), 16, 16, 32, {16, 16})); // stride too small
    EXPECT_FALSE(RTCVideoSource::convert(pixels.data(), 16, 16, 64, {15, 16})); // odd output
    EXPECT_FALSE(RTCVideoSource::convert(pixels.data(), 1, 16, 64, {2, 16}));   // degenerate input
}

TEST(RTCVideoSource, HandsFramesOnlyToAnAttachedWillingSender) {
    RTCVideoSource source;
    auto pixels = solid(32, 32, 0, 0, 0);
    EXPECT_FALSE(source.pushFrame(pixels.data(), 32, 32, 128, 1));
    auto consumer = std::make_shared<RecordingConsumer>();
    source.attach(consumer);
    EXPECT_TRUE(source.pushFrame(pixels.data(), 32, 32, 128, 2, RTCVideoSource::Size{16, 16}));
    consumer->wanted = false;
    EXPECT_FALSE(source.pushFrame(pixels.data(), 32, 32, 128, 3));
    ASSERT_EQ(consumer->frames.size(), 1u);
    EXPECT_EQ(consumer->frames[0].width, 16);
    EXPECT_EQ(consumer->frames[0].timestampNs, 2);
    source.detach(consumer.get());
    consumer->wanted = true;
    EXPECT_FALSE(source.pushFrame(pixels.data(), 32, 32, 128, 4));
}
