#pragma once

#include "base/Json.h"
#include "rtc/RTCRateController.h"

#include <optional>

namespace quorlinth {

// Turns the engine's raw statistics (dash-named entries, as webrtcbin reports them) into rate
// controller feedback: the newest receiver report ("remote-inbound-rtp": fraction lost, round
// trip) once per report, with the rate the sender put out since the previous report: the bytes
// of every "outbound-rtp" stream, as the engine reports retransmissions as a stream of their own
// and the path carries both. Reading the same report twice gives no loss figure the second time.
class RTCRateFeedbackReader {
public:
    RTCRateController::Feedback read(const Json& engineReport, int64_t nowMs);

private:
    struct Report {
        double lost = 0, fraction = 0, roundTrip = 0, jitter = 0;
        bool operator==(const Report&) const = default;
    };
    std::optional<Report> lastReport;
    std::optional<std::pair<int64_t, double>> sentAtLastReport; // ms, bytes
};

} // namespace quorlinth
