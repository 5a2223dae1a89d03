#pragma once

#include "LatencyRecorder.h"

#include <map>
#include <string>
#include <vector>

namespace quorlinth::latency {

// Where the time of a real session goes, from the media traces the sharing process and the
// viewer wrote (QUORLINTH_MEDIA_TRACE; lines "frame|sent|received|decoded <rtp> <ns>...").
// Frames are joined by RTP timestamp; only frames decoded within [fromNs, toNs] (monotonic)
// count. Each stage is a list of milliseconds, one per frame that passed it.
struct StageTimings {
    std::map<std::string, std::vector<double>> stagesMs;
};

// `summary` joins the viewer's drawings to their frames by decode instant, which gives the
// wait between a drawing and its capture ("glass_to_capture").
StageTimings readStageTimings(const std::string& hostTrace, const std::string& viewerTrace, int64_t fromNs,
                              int64_t toNs, const LatencyRecorder::Summary& summary);

// Prints `<prefix>stage_<name>_p50|p95 value ms` for every stage, in the order a frame passes.
void printStages(const std::string& prefix, const StageTimings& timings);

} // namespace quorlinth::latency
