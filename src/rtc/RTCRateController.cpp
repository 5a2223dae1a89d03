#include "rtc/RTCRateController.h"

#include <algorithm>
#include <cmath>

namespace quorlinth {

namespace {

constexpr double kHighLoss = 0.10;
constexpr double kLowLoss = 0.02;
constexpr double kGrowthPerSecond = 1.08;
// Growth while the path has not shown a limit yet: a raised ceiling is reached in a couple of
// seconds, and an overshoot shows as a short queue, not as a burst of tail drops.
constexpr double kStartGrowthPerSecond = 2.0;
constexpr double kBackOff = 0.85;
constexpr double kSentHeadroom = 1.5;
constexpr int64_t kRoundTripWindowMs = 10'000;
// One cut has to show in the reports before the next: a report's round trip lags the queue by
// the round trip itself, the receiver's report interval and our polling.
constexpr int64_t kDecreaseSpacingMs = 500;
constexpr double kReportLagMs = 400;
constexpr double kAbsoluteFloorBps = 100'000;
// A round trip this much below the queue's last one: the queue drains.
constexpr double kDrainingMs = 5;
constexpr double kDeepestCut = 0.5;
// A cut for a queue keeps at least this share of what got through.
constexpr double kDeepestDrain = 0.5;
// Less arriving than was sent, beyond the scatter of pictures' bursts across a window's edges.
constexpr double kOveruseDelivery = 0.9;
// One feedback over the gradient can be a burst; two in a row are a queue.
constexpr int kOveruseFeedbacks = 2;

} // namespace

RTCRateController::RTCRateController(Limits limits) : limits(limits), estimateBps(double(limits.maxBps)) {}

void RTCRateController::setLimits(Limits newLimits) {
    limits = newLimits;
    // A raised ceiling is grown into: the path may be slower than the new ceiling.
    estimateBps = std::min(estimateBps, double(limits.maxBps));
}

double RTCRateController::minRoundTripMs(int64_t nowMs) {
    while (!roundTrips.empty() && roundTrips.front().first < nowMs - kRoundTripWindowMs)
        roundTrips.pop_front();
    double least = roundTrips.empty() ? 0 : roundTrips.front().second;
    for (const auto& [at, ms] : roundTrips)
        least = std::min(least, ms);
    return least;
}

bool RTCRateController::decrease(double toBps, int64_t nowMs, double roundTripMs) {
    int64_t spacing = std::max(kDecreaseSpacingMs, int64_t(roundTripMs + kReportLagMs));
    if (lastDecreaseMs && nowMs - *lastDecreaseMs < spacing) return false;
    // The figures a cut comes from lag the path and scatter under heavy loss: one cut at most
    // halves the target, the next report shows whether more is needed.
    estimateBps = std::max({std::min(estimateBps, toBps), kDeepestCut * estimateBps, kAbsoluteFloorBps});
    lastDecreaseMs = nowMs;
    return true;
}

RTCRateController::Target RTCRateController::update(const Feedback& feedback) {
    if (feedback.sentBps) lastSentBps = feedback.sentBps;
    if (!feedback.lossFraction) return target(); // no new report: nothing learnt about the path
    double seconds = lastUpdateMs ? double(feedback.nowMs - *lastUpdateMs) / 1000 : 0;
    // Transport feedback saw a queue building since the previous report: no growth into it.
    bool overusedSince = lastOveruseMs && lastUpdateMs && *lastOveruseMs >= *lastUpdateMs;
    lastUpdateMs = feedback.nowMs;

    double roundTripMs = 0, queuedMs = 0;
    if (feedback.roundTripSeconds && *feedback.roundTripSeconds > 0) {
        roundTripMs = *feedback.roundTripSeconds * 1000;
        roundTrips.emplace_back(feedback.nowMs, roundTripMs);
        queuedMs = roundTripMs - minRoundTripMs(feedback.nowMs);
    }
    double loss = feedback.lossFraction.value_or(0);
    double delivered = feedback.receivedBps.value_or(lastSentBps.value_or(estimateBps) * (1 - loss));

    if (queuedMs > kQueueingMs) {
        // A cut that already shows (the queue drains) needs no other; the deeper the queue, the
        // deeper the cut, so that it drains in about a second instead of holding the delay.
        if (queueRoundTripMs && roundTripMs < *queueRoundTripMs - kDrainingMs) {
            queueRoundTripMs = roundTripMs;
            return target();
        }
        double share = std::max(kDeepestDrain, 1 - queuedMs / 1000);
        if (decrease(kBackOff * delivered * share, feedback.nowMs, roundTripMs))
            queueRoundTripMs = roundTripMs;
        return target();
    }
    queueRoundTripMs.reset(); // the queue is gone: the next one is a new episode
    // Retransmission repairs scattered loss; only loss that lasts from one report to the next
    // asks for less.
    bool lastingLoss = loss > kHighLoss && previousLoss > kHighLoss;
    previousLoss = loss;
    if (lastingLoss) {
        decrease(estimateBps * (1 - 0.5 * loss), feedback.nowMs, roundTripMs);
    } else if (loss < kLowLoss && seconds > 0 && !overusedSince) {
        double perSecond = lastDecreaseMs ? kGrowthPerSecond : kStartGrowthPerSecond;
        double grown = estimateBps * std::pow(perSecond, seconds);
        if (lastSentBps) grown = std::min(grown, std::max(estimateBps, kSentHeadroom * *lastSentBps));
        estimateBps = std::min(grown, double(limits.maxBps));
    }
    return target();
}

RTCRateController::Target RTCRateController::update(const TransportFeedback& feedback) {
    bool overuse = feedback.delayGradientMs > kOveruseGradientMs && feedback.receivedBps > 0 &&
                   feedback.receivedBps < kOveruseDelivery * feedback.sentBps;
    overuseStreak = overuse ? overuseStreak + 1 : 0;
    if (overuseStreak >= kOveruseFeedbacks) lastOveruseMs = feedback.nowMs;
    // What went out carries more than the encoder's target (headers, retransmissions, repair
    // packets): the target is cut in the same proportion as what arrived is to what was sent.
    double encoderShare = std::min(1.0, estimateBps / feedback.sentBps);
    if (overuseStreak >= kOveruseFeedbacks &&
        decrease(kBackOff * feedback.receivedBps * encoderShare, feedback.nowMs,
                 roundTrips.empty() ? 0 : roundTrips.back().second))
        overuseStreak = 0;
    return target();
}

RTCRateController::Target RTCRateController::target() const {
    double floor = double(std::clamp<int64_t>(limits.minBps, 0, limits.maxBps));
    Target result;
    result.bitrateBps = int64_t(std::clamp(estimateBps, floor, double(limits.maxBps)));
    result.fps = limits.maxFps;
    if (floor > 0 && estimateBps < floor)
        result.fps = std::max(kMinFps, int(std::lround(limits.maxFps * estimateBps / floor)));
    return result;
}

} // namespace quorlinth
