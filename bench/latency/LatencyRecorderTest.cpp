#include "LatencyRecorder.h"

#include "PatternScreen.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace quorlinth::latency;

namespace {

constexpr int kWidth = kScreenWidth;
constexpr int kHeight = kScreenHeight;
constexpr int64_t kMs = 1'000'000;
// A wall-clock base whose low 32 bits of milliseconds wrap soon after it.
constexpr int64_t kBaseMs = (int64_t(400) << 32) - 100;

// Shows the recorder a picture drawn at `drawnMs` (after the base) with `presses`, decoded at
// `decodedMs` after the base.
void show(LatencyRecorder& recorder, int64_t drawnMs, int64_t decodedMs, uint8_t presses = 0) {
    auto pixels = paintScreen({uint32_t(kBaseMs + drawnMs), presses});
    recorder.picture((kBaseMs + decodedMs) * kMs, pixels.data(), kWidth, kHeight, kWidth * 4);
}

void showUnreadable(LatencyRecorder& recorder, int64_t decodedMs) {
    std::vector<uint8_t> grey(size_t(kWidth) * kHeight * 4, 0x80);
    recorder.picture((kBaseMs + decodedMs) * kMs, grey.data(), kWidth, kHeight, kWidth * 4);
}

} // namespace

TEST(LatencyRecorder, CountsTheFirstPictureOfEachDrawingAcrossTheClockWrap) {
    LatencyRecorder recorder;
    show(recorder, 0, 10); // before recording: sets the scene only
    recorder.setRecording(true);
    show(recorder, 50, 80);     // 30 ms
    show(recorder, 50, 113);    // a repeat: says nothing new
    show(recorder, 40, 120);    // an older drawing arriving late: not a new one
    show(recorder, 150, 190);   // 40 ms, after the 32-bit millisecond clock wrapped
    show(recorder, 200, 20000); // a misread far in the past: implausible
    showUnreadable(recorder, 230);
    recorder.setRecording(false);
    show(recorder, 300, 310); // after recording

    auto summary = recorder.summary();
    EXPECT_EQ(summary.latenciesMs, (std::vector<double>{30, 40}));
    EXPECT_EQ(summary.pictures, 6);
    EXPECT_EQ(summary.readPictures, 5);
}

TEST(LatencyRecorder, MatchesEachPressWithThePictureThatFirstShowsIt) {
    LatencyRecorder recorder;
    recorder.setRecording(true);
    EXPECT_FALSE(recorder.pressSent((kBaseMs + 1) * kMs)) << "no picture read yet";
    show(recorder, 0, 20, 5);
    ASSERT_TRUE(recorder.pressSent((kBaseMs + 100) * kMs)); // expects 6
    show(recorder, 110, 140, 5);
    show(recorder, 130, 170, 6); // answered: 70 ms
    show(recorder, 140, 175, 6);
    ASSERT_TRUE(recorder.pressSent((kBaseMs + 200) * kMs)); // expects 7, never shown alone
    ASSERT_TRUE(recorder.pressSent((kBaseMs + 300) * kMs)); // expects 8
    show(recorder, 350, 390, 8);                            // answers the second only: 90 ms
    recorder.setRecording(false);

    auto summary = recorder.summary();
    EXPECT_EQ(summary.roundTripsMs, (std::vector<double>{70, 90}));
    EXPECT_EQ(summary.pressesSent, 3);
}

TEST(LatencyRecorder, PercentileOfSortedAndEmptyLists) {
    struct Row {
        std::vector<double> values;
        double fraction, expected;
    };
    const Row rows[] = {
        {{}, 0.5, 0},
        {{5}, 0.95, 5},
        {{3, 1, 2}, 0.5, 2},
        {{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, 0.95, 100},
        {{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, 0.5, 60},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.values.size() << " values at " << row.fraction);
        EXPECT_EQ(percentile(row.values, row.fraction), row.expected);
    }
}
