#include "rtc/RTCRateFeedbackReader.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace quorlinth {

namespace {

double number(const Json& values, const char* name) {
    auto found = values.find(name);
    return found != values.end() && found->is_number() ? found->get<double>() : 0;
}

bool isType(const Json& values, const char* type) {
    auto found = values.find("type");
    return found != values.end() && found->is_string() && found->get<std::string>() == type;
}

} // namespace

RTCRateController::Feedback RTCRateFeedbackReader::read(const Json& engineReport, int64_t nowMs) {
    RTCRateController::Feedback feedback;
    feedback.nowMs = nowMs;
    if (!engineReport.is_object()) return feedback;
    std::optional<Report> report;
    std::optional<double> bytesSent;
    std::vector<double> streamPackets;
    for (const auto& [id, values] : engineReport.items()) {
        if (!values.is_object()) continue;
        if (isType(values, "remote-inbound-rtp") && values.contains("round-trip-time")) {
            report = Report{number(values, "packets-lost"), number(values, "fraction-lost"),
                            number(values, "round-trip-time"), number(values, "jitter")};
        } else if (isType(values, "outbound-rtp")) { // the picture's stream and its retransmissions
            bytesSent = bytesSent.value_or(0) + number(values, "bytes-sent");
            streamPackets.push_back(number(values, "packets-sent"));
        }
    }
    if (!report || report == lastReport) return feedback;
    lastReport = report;
    // A report's fraction is its 8-bit field over 256; some versions hand over the raw field.
    feedback.lossFraction = report->fraction > 1 ? report->fraction / 256 : report->fraction;
    if (auto repaired = repairedShare(streamPackets)) feedback.lossFraction = repaired;
    if (report->roundTrip > 0) feedback.roundTripSeconds = report->roundTrip;
    if (bytesSent) {
        if (sentAtLastReport && nowMs > sentAtLastReport->first && *bytesSent >= sentAtLastReport->second)
            feedback.sentBps =
                (*bytesSent - sentAtLastReport->second) * 8 * 1000 / double(nowMs - sentAtLastReport->first);
        sentAtLastReport = {nowMs, *bytesSent};
    }
    return feedback;
}

std::optional<RTCRateController::TransportFeedback>
RTCRateFeedbackReader::readTransport(const Json& sessionStats, int64_t nowMs) {
    if (!sessionStats.is_object() || number(sessionStats, "packets-recv") <= 0) return std::nullopt;
    double sentBps = number(sessionStats, "bitrate-sent");
    // A window too short to time gives the lowest 64-bit value for "no gradient".
    double gradientNs = number(sessionStats, "avg-delta-of-delta");
    if (sentBps <= 0 || gradientNs <= double(std::numeric_limits<int64_t>::min())) return std::nullopt;
    return RTCRateController::TransportFeedback{nowMs, sentBps, number(sessionStats, "bitrate-recv"),
                                                gradientNs / 1e6};
}

std::optional<double> RTCRateFeedbackReader::repairedShare(std::vector<double> streamPackets) {
    if (streamPackets.size() != 2) return std::nullopt;
    std::sort(streamPackets.begin(), streamPackets.end()); // the repair stream carries fewer
    Packets now{streamPackets[1], streamPackets[0]};
    auto before = std::exchange(packetsAtLastReport, now);
    if (!before || now.picture <= before->picture || now.repair < before->repair) return std::nullopt;
    return std::min(1.0, (now.repair - before->repair) / (now.picture - before->picture));
}

} // namespace quorlinth
