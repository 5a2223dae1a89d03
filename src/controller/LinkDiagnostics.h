#pragma once

#include "base/Json.h"
#include "base/MediaRoute.h"
#include "platform/NetworkPathMonitor.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorlinth {

// A statistics report as the summarizers read it: id → values, with the entry's type under "type".
using StatsMap = std::map<std::string, Json>;

namespace LinkDiagnostics {

// Totals of the inbound video stream at the previous summary.
struct Sample {
    double time = 0; // seconds since 1970
    double bytes = 0;
    double packets = 0;
    double lost = 0;
    bool operator==(const Sample&) const = default;
};

// One summary line of the link (pairs · selected path · inbound video) and the sample to keep.
std::pair<std::string, std::optional<Sample>> describe(const std::optional<Sample>& previous,
                                                       const StatsMap& stats, double now);

} // namespace LinkDiagnostics

// The candidates of the selected pair, as the route check found them.
struct SelectedRoute {
    RTCMediaRoute route;
    std::string localType, localProtocol;   // protocol "?" when absent
    std::string remoteType, remoteProtocol; // protocol "?" when absent
};

// The media route of a report; nullopt when the selected pair is ambiguous or incomplete.
std::optional<SelectedRoute> selectedRoute(const StatsMap& stats);

// Totals of the inbound video stream at the previous video line.
struct VideoSample {
    double time = 0;
    double bytes = 0;
    double frames = 0;
    double qpSum = 0;
};

// "RTC video ..." for the first inbound video entry, with the sample to keep; nullopt without one.
std::optional<std::pair<std::string, VideoSample>> videoLine(const std::optional<VideoSample>& previous,
                                                             const StatsMap& stats, double now);

std::string describePath(const NetworkPath& path);

} // namespace quorlinth
