#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace quorlinth {

// Send-side rate adaptation in the spirit of the published WebRTC congestion controllers: the
// receiver's reports move the encoder's target between the encoding's floor and ceiling.
//  - Delay, from transport-wide feedback (the receiver's arrival time of every packet, about
//    once a picture): packets arriving further apart than they left (the delay gradient above
//    kOveruseGradientMs) while less arrives than was sent, in two feedbacks in a row, mean a
//    queue is building; the target falls to 85 % of what arrived (less the overhead that was
//    sent beside the encoder's target), and does not grow while the queue builds. This sees a
//    queue within a tenth of a second.
//  - Delay, from the receiver's reports (also for a peer that sends no transport feedback): a
//    round trip above its recent minimum by more than kQueueingMs means a queue; the target
//    falls to 85 % of what the receiver got, less the share of a second the queue holds (at
//    most half), so a queue that stands drains rather than stays. While the round trip keeps
//    falling after a cut, the cut is working: no further one. Reports show a queue a third of
//    a second late or more.
//  - Loss without a queue: above 10 % in two reports in a row, the target falls by half the
//    loss; below 2 % it may grow.
//  - One cut at most halves the target, and the next waits until it can show: half a second,
//    or the round trip plus 400 ms when that is longer.
//  - Growth is multiplicative (8 % a second; twice a second until the path first showed a
//    limit) and never beyond 1.5 × what was last sent, so an encoder that undershoots (a still
//    screen) does not walk the target away from the link.
//  - It starts at the first ceiling it is given; a ceiling raised later (the route became
//    known) is grown into, not jumped to: a path slower than the new ceiling would otherwise
//    overflow at once, and the pictures lost to it freeze the view until a key frame gets through.
// Below the bitrate floor the frame rate takes the cut instead (never below kMinFps).
// It acts on feedback only; between feedbacks nothing changes. Pure logic: the engine feeds it
// its statistics.
class RTCRateController {
public:
    static constexpr double kQueueingMs = 25;
    static constexpr double kOveruseGradientMs = 0.25;
    static constexpr int kMinFps = 5;

    struct Limits {
        int64_t minBps = 0;
        int64_t maxBps = 0;
        int maxFps = 30;
        bool operator==(const Limits&) const = default;
    };
    struct Feedback {
        int64_t nowMs = 0;
        std::optional<double> lossFraction;     // set when a new receiver report came in
        std::optional<double> roundTripSeconds; // of the newest report
        std::optional<double> sentBps;          // what the sender put out since the last feedback
        std::optional<double> receivedBps;      // what reached the receiver, when known
    };
    struct TransportFeedback {
        int64_t nowMs = 0;
        double sentBps = 0;         // the feedback's window of packets, as they left
        double receivedBps = 0;     // the same packets, as they arrived
        double delayGradientMs = 0; // mean change of the one-way delay from a packet to the next
    };
    struct Target {
        int64_t bitrateBps = 0;
        int fps = 0;
        bool operator==(const Target&) const = default;
    };

    explicit RTCRateController(Limits limits);

    // New floor and ceiling (the encoding's parameters). The estimate is clamped to them.
    void setLimits(Limits limits);
    Target update(const Feedback& feedback);
    Target update(const TransportFeedback& feedback);
    Target target() const;

private:
    double minRoundTripMs(int64_t nowMs);
    // False when the last cut is too recent to have shown in a report.
    bool decrease(double toBps, int64_t nowMs, double roundTripMs);

    Limits limits;
    double estimateBps; // may fall below the floor: the frame rate then carries the cut
    std::optional<int64_t> lastUpdateMs;
    std::optional<int64_t> lastDecreaseMs;
    // The present queue's round trip at the last cut, or lower as it drained since.
    std::optional<double> queueRoundTripMs;
    double previousLoss = 0; // of the last report without a queue
    std::optional<double> lastSentBps;
    std::deque<std::pair<int64_t, double>> roundTrips; // ms, ms
    std::optional<int64_t> lastOveruseMs;
    int overuseStreak = 0;
};

} // namespace quorlinth
