#include "ClockPattern.h"

#include "PatternScreen.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <libyuv/scale_argb.h>
#include <random>

using namespace quorlinth::latency;

namespace {

constexpr int kWidth = kScreenWidth;
constexpr int kHeight = kScreenHeight;

// A whole screen as the probe draws it: grey, with the pattern's blocks at their places.

std::vector<uint8_t> scaled(const std::vector<uint8_t>& pixels, int width, int height) {
    std::vector<uint8_t> result(size_t(width) * height * 4);
    libyuv::ARGBScale(pixels.data(), kWidth * 4, kWidth, kHeight, result.data(), width * 4, width, height,
                      libyuv::kFilterBox);
    return result;
}

void addNoise(std::vector<uint8_t>& pixels, int amplitude) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> offset(-amplitude, amplitude);
    for (auto& byte : pixels)
        byte = uint8_t(std::clamp(int(byte) + offset(random), 0, 255));
}

} // namespace

TEST(ClockPattern, ReadsBackWhatWasDrawnAtStreamSizesAndUnderNoise) {
    struct Row {
        ClockReading reading;
        int width, height, noise;
    };
    const Row rows[] = {
        {{0, 0}, 1920, 1080, 0},         {{0xFFFFFFFF, 255}, 1920, 1080, 0},
        {{123456789, 7}, 1280, 720, 0},  {{0x80000001, 128}, 1280, 720, 60},
        {{987654321, 3}, 1728, 972, 40},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.reading.drawnMs << " at " << row.width << "x" << row.height);
        auto pixels = paintScreen(row.reading);
        if (row.width != kWidth) pixels = scaled(pixels, row.width, row.height);
        addNoise(pixels, row.noise);
        auto read = ClockPattern::decode(pixels.data(), row.width, row.height, row.width * 4);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(*read, row.reading);
    }
}

TEST(ClockPattern, RejectsPicturesThatCarryNoValidReading) {
    auto screen = paintScreen({424242, 9});
    auto flipped = screen;
    // One time block turned from black to white or back: the check sum no longer matches.
    int left = ClockPattern::kOriginX + 5 * ClockPattern::kBlock, top = ClockPattern::kOriginY;
    for (int y = top; y < top + ClockPattern::kBlock; ++y)
        for (int x = left; x < left + ClockPattern::kBlock; ++x)
            for (int channel = 0; channel < 4; ++channel)
                flipped[(size_t(y) * kWidth + x) * 4 + channel] ^= 0xFF;
    // Caught between two drawings: the time and press rows of one, the check row of the next.
    auto torn = paintScreen({424243, 9});
    size_t payloadRowsEnd = size_t(ClockPattern::kOriginY + 2 * ClockPattern::kBlock) * kWidth * 4;
    std::copy(screen.begin(), screen.begin() + payloadRowsEnd, torn.begin());
    std::vector<uint8_t> grey(size_t(kWidth) * kHeight * 4, 0x80);
    std::vector<uint8_t> black(size_t(kWidth) * kHeight * 4, 0x00);
    std::vector<uint8_t> white(size_t(kWidth) * kHeight * 4, 0xFF);
    struct Row {
        const char* name;
        const std::vector<uint8_t>* pixels;
        int width, height, stride;
    };
    const Row rows[] = {
        {"one block flipped", &flipped, kWidth, kHeight, kWidth * 4},
        {"torn between drawings", &torn, kWidth, kHeight, kWidth * 4},
        {"grey screen", &grey, kWidth, kHeight, kWidth * 4},
        {"black screen", &black, kWidth, kHeight, kWidth * 4},
        {"white screen", &white, kWidth, kHeight, kWidth * 4},
        {"too small for the pattern", &screen, 40, 40, kWidth * 4},
        {"stride shorter than a row", &screen, kWidth, kHeight, kWidth},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(ClockPattern::decode(row.pixels->data(), row.width, row.height, row.stride).has_value());
    }
    EXPECT_FALSE(ClockPattern::decode(nullptr, kWidth, kHeight, kWidth * 4).has_value());
}

TEST(ClockPattern, DifferenceFollowsTheWrappedClock) {
    struct Row {
        uint32_t drawn;
        uint64_t now;
        int64_t expected;
    };
    const Row rows[] = {
        {1000, 1040, 40},
        {0xFFFFFFF0u, (uint64_t(1) << 32) + 0x10, 0x20},
        {1040, 1000, -40},
        {5, (uint64_t(77) << 32) + 5, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.drawn << " → " << row.now);
        EXPECT_EQ(wrappedDifferenceMs(row.drawn, row.now), row.expected);
    }
}

TEST(ClockPattern, CrcMatchesTheCcittCheckValue) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16(check, sizeof check), 0x29B1);
}
