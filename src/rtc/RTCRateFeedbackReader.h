#pragma once

#include "base/Json.h"
#include "rtc/RTCRateController.h"

#include <optional>
#include <vector>

namespace quorlinth {

// Turns the engine's raw statistics (dash-named entries, as webrtcbin reports them) into rate
// controller feedback: the newest receiver report ("remote-inbound-rtp": round trip, fraction
// lost) once per report, with the rate the sender put out since the previous report. The engine
// reports retransmissions as an RTP stream of their own: the sent rate counts the bytes of
// every stream (the path carries both), and as the engine keeps only the last report block a
// peer sent, which is then the repair stream's, loss is read from the sender's own counters:
// packets retransmitted per packet of the picture since the previous report. Reading the same
// report twice gives no loss figure the second time.
//
// Transport-wide feedback comes from the RTP session's own window of it ("twcc-stats": the
// bitrates the window's packets left and arrived at, and their mean delta of deltas in ns);
// a window without any packet that arrived, or one too short to measure, says nothing.
class RTCRateFeedbackReader {
public:
    RTCRateController::Feedback read(const Json& engineReport, int64_t nowMs);
    static std::optional<RTCRateController::TransportFeedback> readTransport(const Json& sessionStats,
                                                                             int64_t nowMs);

private:
    struct Report {
        double lost = 0, fraction = 0, roundTrip = 0, jitter = 0;
        bool operator==(const Report&) const = default;
    };
    struct Packets {
        double picture = 0, repair = 0;
    };
    // Retransmitted per sent since the previous report, when both streams are there.
    std::optional<double> repairedShare(std::vector<double> streamPackets);

    std::optional<Report> lastReport;
    std::optional<Packets> packetsAtLastReport;
    std::optional<std::pair<int64_t, double>> sentAtLastReport; // ms, bytes
};

} // namespace quorlinth
