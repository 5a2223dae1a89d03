#include "rtc/RTCRateController.h"

#include "rtc/RTCRateFeedbackReader.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace quorlinth;

namespace {

constexpr RTCRateController::Limits kDirect{1'000'000, 12'000'000, 30};

RTCRateController::Feedback report(int64_t nowMs, double loss, double rttMs, double sentBps) {
    return {nowMs, loss, rttMs / 1000, sentBps, std::nullopt};
}

} // namespace

TEST(RTCRateController, StartsAtTheCeilingAndHoldsOnAClearLink) {
    RTCRateController controller(kDirect);
    EXPECT_EQ(controller.target(), (RTCRateController::Target{12'000'000, 30}));
    for (int64_t at = 0; at <= 5000; at += 500)
        EXPECT_EQ(controller.update(report(at, 0, 40, 11'000'000)).bitrateBps, 12'000'000);
}

TEST(RTCRateController, BacksOffOnLossAndOnAGrowingQueue) {
    struct Case {
        const char* name;
        double loss;
        double rttMs;
        int64_t expectedBps;
    };
    const Case cases[] = {
        {"lasting heavy loss: half the loss off", 0.20, 40, 10'800'000},
        {"queue building: 85 % of what got through, less the share of a second queued", 0, 40 + 60,
         int64_t(0.85 * 10'000'000 * 0.94)},
        {"heavy loss from a queue: the queue's cut", 0.20, 40 + 100, int64_t(0.85 * 8'000'000 * 0.9)},
        {"figures that ask for more: at most half", 0.80, 40 + 300, 6'000'000},
        {"moderate loss without a queue: hold", 0.05, 40, 12'000'000},
        {"jitter under the queueing threshold: hold", 0.0, 40 + 20, 12'000'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RTCRateController controller(kDirect);
        controller.update(report(0, 0, 40, 10'000'000));
        // Two reports a quarter of a second apart: loss counts once it lasts, a cut once per
        // half second.
        controller.update(report(250, c.loss, c.rttMs, 10'000'000));
        EXPECT_EQ(controller.update(report(500, c.loss, c.rttMs, 10'000'000)).bitrateBps, c.expectedBps);
    }
}

TEST(RTCRateController, ScatteredLossThatRetransmissionRepairsIsNoReasonToCut) {
    RTCRateController controller(kDirect);
    int64_t at = 0;
    for (double loss : {0.0, 0.15, 0.0, 0.12, 0.01, 0.3, 0.0})
        EXPECT_EQ(controller.update(report(at += 250, loss, 40, 11'000'000)).bitrateBps, 12'000'000) << loss;
}

TEST(RTCRateController, CutsUntilTheQueueDrainsThenRecoversBoundedBySentRate) {
    RTCRateController controller(kDirect);
    controller.update(report(0, 0, 40, 12'000'000));
    const int64_t firstCut = int64_t(0.85 * 10'000'000 * 0.84); // 160 ms queued
    EXPECT_EQ(controller.update(report(250, 0, 200, 10'000'000)).bitrateBps, firstCut);
    // 250 ms later the cut cannot show yet: no second one.
    EXPECT_EQ(controller.update(report(500, 0, 210, 5'700'000)).bitrateBps, firstCut);
    // The queue drains: the cut works, nothing more.
    EXPECT_EQ(controller.update(report(750, 0, 150, 5'700'000)).bitrateBps, firstCut);
    EXPECT_EQ(controller.update(report(1000, 0, 100, 5'700'000)).bitrateBps, firstCut);
    // It stops draining while a queue remains: cut again.
    const int64_t secondCut = int64_t(0.85 * 5'700'000 * 0.94);
    EXPECT_EQ(controller.update(report(1250, 0, 100, 5'700'000)).bitrateBps, secondCut);
    // The queue is gone: growth of 8 % a second, but never past 1.5 × what was sent.
    auto grown = controller.update(report(2250, 0, 40, 4'500'000)).bitrateBps;
    EXPECT_NEAR(double(grown), secondCut * 1.08, 1000);
    EXPECT_EQ(controller.update(report(12'250, 0, 40, 1'000'000)).bitrateBps, grown);
    // A new queue, shallower than the first one was: a new cut.
    EXPECT_LT(controller.update(report(12'750, 0, 80, 4'000'000)).bitrateBps, grown);
    // A long clear run reaches the ceiling and stays there.
    for (int64_t at = 13'000; at < 60'000; at += 500)
        controller.update(report(at, 0, 40, 12'000'000));
    EXPECT_EQ(controller.target().bitrateBps, 12'000'000);
}

TEST(RTCRateController, BelowTheFloorTheFrameRateTakesTheCut) {
    RTCRateController controller(kDirect);
    controller.update(report(0, 0, 40, 12'000'000));
    int64_t at = 0;
    // Heavy loss again and again: the bitrate stops at the floor, the frame rate goes on down.
    for (int step = 0; step < 40; ++step)
        controller.update(report(at += 600, 0.5, 40, 1'000'000));
    auto target = controller.target();
    EXPECT_EQ(target.bitrateBps, 1'000'000);
    EXPECT_EQ(target.fps, RTCRateController::kMinFps);
    // The loss stops: the frame rate comes back before the bitrate grows.
    for (int step = 0; step < 200 && controller.target().fps < 30; ++step)
        controller.update(report(at += 500, 0, 40, 1'000'000));
    EXPECT_EQ(controller.target().fps, 30);
    EXPECT_LT(controller.target().bitrateBps, 1'050'000);
}

TEST(RTCRateController, NewLimitsClampTheTargetAndARaisedCeilingIsGrownInto) {
    RTCRateController controller(kDirect);
    controller.setLimits({0, 4'000'000, 20}); // a route not known yet
    EXPECT_EQ(controller.target(), (RTCRateController::Target{4'000'000, 20}));

    // The route is found: the path may be slower than the new ceiling, so the target doubles a
    // second (as far as the encoder keeps up) instead of jumping there.
    controller.setLimits(kDirect);
    EXPECT_EQ(controller.target().bitrateBps, 4'000'000);
    controller.update(report(0, 0, 40, 4'000'000));
    EXPECT_NEAR(double(controller.update(report(500, 0, 40, 4'000'000)).bitrateBps),
                4'000'000 * std::sqrt(2.0), 1000);
    EXPECT_EQ(controller.update(report(1000, 0, 40, 4'000'000)).bitrateBps, 6'000'000); // 1.5 × sent
    int64_t at = 1000;
    while (at < 3000)
        controller.update(report(at += 250, 0, 40, controller.target().bitrateBps));
    EXPECT_EQ(controller.target().bitrateBps, 12'000'000);

    // After congestion growth is slow: a ceiling raised again is approached at 8 % a second.
    controller.update(report(at += 250, 0.3, 40, 12'000'000));
    controller.update(report(at += 250, 0.3, 40, 12'000'000)); // congestion: 10.2 Mbit/s
    controller.setLimits({0, 4'000'000, 20});
    controller.setLimits(kDirect);
    EXPECT_EQ(controller.target().bitrateBps, 4'000'000);
    EXPECT_NEAR(double(controller.update(report(at += 1000, 0, 40, 4'000'000)).bitrateBps), 4'320'000, 1000);
}

TEST(RTCRateController, TransportFeedbackCutsForAQueueOnceTwoFeedbacksInARowShowIt) {
    struct Case {
        const char* name;
        double gradientMs, sentBps, receivedBps;
        int feedbacks;
        int64_t expectedBps;
    };
    const Case cases[] = {
        {"a queue building: 85 % of what arrived", 0.45, 11'000'000, 7'500'000, 2, 6'375'000},
        {"more sent than the target (repair packets): their share off as well", 0.45, 13'000'000, 9'000'000,
         2, int64_t(0.85 * 9'000'000 * 12 / 13)},
        {"one such feedback can be a picture's burst: hold", 0.45, 11'000'000, 7'500'000, 1, 12'000'000},
        {"arrivals spread out but everything arrived: hold", 0.45, 10'000'000, 9'800'000, 3, 12'000'000},
        {"less arrived while the delay did not grow (a pause in sending): hold", 0.0, 10'000'000, 7'000'000,
         3, 12'000'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RTCRateController controller(kDirect);
        controller.update(report(0, 0, 40, 11'000'000));
        for (int i = 1; i <= c.feedbacks; ++i)
            controller.update(
                RTCRateController::TransportFeedback{100 + 33 * i, c.sentBps, c.receivedBps, c.gradientMs});
        EXPECT_EQ(controller.target().bitrateBps, c.expectedBps);
    }
}

TEST(RTCRateController, AfterATransportFeedbackCutTheReportsLateQueueWaitsAndIsNotGrownInto) {
    RTCRateController controller(kDirect);
    auto overuse = [](int64_t at) {
        return RTCRateController::TransportFeedback{at, 11'000'000, 7'500'000, 0.45};
    };
    auto clear = [](int64_t at) {
        return RTCRateController::TransportFeedback{at, 6'000'000, 6'000'000, 0.0};
    };
    controller.update(report(0, 0, 40, 11'000'000));
    controller.update(overuse(100));
    EXPECT_EQ(controller.update(overuse(133)).bitrateBps, 6'375'000);
    // The report shows the queue of before the cut only now: too soon for a second cut.
    EXPECT_EQ(controller.update(report(250, 0, 200, 10'000'000)).bitrateBps, 6'375'000);
    // A queue seen since the last report: no growth at the next. One feedback alone (a burst, a
    // receiver busy for a moment) does not hold growth back.
    controller.update(overuse(300));
    controller.update(overuse(333));
    EXPECT_EQ(controller.update(report(500, 0, 40, 6'000'000)).bitrateBps, 6'375'000);
    controller.update(clear(666));
    controller.update(overuse(700));
    controller.update(clear(733));
    EXPECT_GT(controller.update(report(750, 0, 40, 6'000'000)).bitrateBps, 6'375'000);
}

TEST(RTCRateFeedbackReader, ReadsTheSessionsTransportFeedbackWindow) {
    Json window{{"bitrate-sent", 10'000'000u}, {"bitrate-recv", 7'500'000u}, {"packets-sent", 30u},
                {"packets-recv", 29u},         {"packet-loss-pct", 3.3},     {"avg-delta-of-delta", 450'000}};
    auto feedback = RTCRateFeedbackReader::readTransport(window, 1234);
    ASSERT_TRUE(feedback);
    EXPECT_EQ(feedback->nowMs, 1234);
    EXPECT_EQ(feedback->sentBps, 10'000'000);
    EXPECT_EQ(feedback->receivedBps, 7'500'000);
    EXPECT_DOUBLE_EQ(feedback->delayGradientMs, 0.45);
    Json tooShort = window; // as the session reports a window it could not time
    tooShort["avg-delta-of-delta"] = std::numeric_limits<int64_t>::min();
    tooShort["bitrate-sent"] = tooShort["bitrate-recv"] = 0u;
    EXPECT_FALSE(RTCRateFeedbackReader::readTransport(tooShort, 1234));
    window["packets-recv"] = 0u; // nothing arrived in the window: nothing to learn
    EXPECT_FALSE(RTCRateFeedbackReader::readTransport(window, 1234));
    EXPECT_FALSE(RTCRateFeedbackReader::readTransport(Json::array(), 1234));
}

TEST(RTCRateFeedbackReader, GivesEachReceiverReportOnceWithTheRateSentSinceThePrevious) {
    RTCRateFeedbackReader reader;
    auto stats = [](double lost, double fraction, double rtt, double bytesSent) {
        return Json{
            {"rtp-remote-inbound-stream-stats_1",
             {{"type", "remote-inbound-rtp"},
              {"packets-lost", lost},
              {"fraction-lost", fraction},
              {"round-trip-time", rtt},
              {"jitter", 0.001}}},
            {"rtp-outbound-stream-stats_1", {{"type", "outbound-rtp"}, {"bytes-sent", bytesSent}}},
            // Retransmissions: a stream of their own, a tenth of the bytes.
            {"rtp-outbound-stream-stats_2", {{"type", "outbound-rtp"}, {"bytes-sent", bytesSent / 10}}}};
    };
    auto first = reader.read(stats(0, 0, 0.040, 1'000'000), 1000);
    EXPECT_EQ(first.lossFraction, 0.0);
    EXPECT_EQ(first.roundTripSeconds, 0.040);
    EXPECT_FALSE(first.sentBps); // nothing to measure from yet
    // The same report read again: no figures about the path.
    auto again = reader.read(stats(0, 0, 0.040, 1'250'000), 1250);
    EXPECT_FALSE(again.lossFraction);
    EXPECT_FALSE(again.roundTripSeconds);
    auto next = reader.read(stats(12, 0.25, 0.090, 2'000'000), 2000);
    EXPECT_EQ(next.lossFraction, 0.25);
    EXPECT_EQ(next.roundTripSeconds, 0.090);
    EXPECT_EQ(next.sentBps, 8'800'000.0); // 1.1 million bytes in one second, both streams
    // A raw 8-bit fraction is read as a share of 256; malformed input gives nothing.
    EXPECT_EQ(reader.read(stats(20, 64, 0.1, 2'100'000), 2500).lossFraction, 0.25);
    EXPECT_FALSE(reader.read(Json::array(), 3000).lossFraction);
    EXPECT_FALSE(reader.read(Json{{"x", {{"type", 5}}}}, 3000).lossFraction);
}

TEST(RTCRateFeedbackReader, ReadsLossFromRetransmissionsWhenTheRepairStreamIsThere) {
    // The receiver's report block the engine kept is the repair stream's: its fraction says
    // nothing about the picture.
    auto stats = [](double repairBlockLoss, double picturePackets, std::optional<double> repairPackets) {
        Json report{{"rtp-remote-inbound-stream-stats_2",
                     {{"type", "remote-inbound-rtp"},
                      {"fraction-lost", repairBlockLoss},
                      {"round-trip-time", 0.04 + picturePackets / 1e9}}}, // a new report each time
                    {"rtp-outbound-stream-stats_1",
                     {{"type", "outbound-rtp"}, {"packets-sent", picturePackets}, {"bytes-sent", 0}}}};
        if (repairPackets)
            report["rtp-outbound-stream-stats_2"] = {
                {"type", "outbound-rtp"}, {"packets-sent", *repairPackets}, {"bytes-sent", 0}};
        return report;
    };
    RTCRateFeedbackReader reader;
    EXPECT_EQ(reader.read(stats(0.5, 1000, 10), 0).lossFraction, 0.5); // nothing to compare with yet
    EXPECT_DOUBLE_EQ(*reader.read(stats(0.5, 2000, 60), 250).lossFraction, 0.05);
    EXPECT_DOUBLE_EQ(*reader.read(stats(0.0, 3000, 60), 500).lossFraction, 0.0);
    EXPECT_DOUBLE_EQ(*reader.read(stats(0.0, 3100, 300), 750).lossFraction, 1.0) << "at most everything";

    RTCRateFeedbackReader withoutRepair;
    withoutRepair.read(stats(0.0, 1000, std::nullopt), 0);
    EXPECT_EQ(withoutRepair.read(stats(0.25, 2000, std::nullopt), 250).lossFraction, 0.25);
}
