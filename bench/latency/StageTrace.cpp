#include "StageTrace.h"

#include "ProcessUsage.h"

#include <fstream>
#include <sstream>
#include <unordered_map>

namespace quorlinth::latency {

namespace {

// Instants of one frame; 0 where a stage was not seen.
struct FrameInstants {
    int64_t captured = 0, encoderIn = 0, encoded = 0, sent = 0, received = 0, decoded = 0;
};

void readTrace(const std::string& path, std::unordered_map<uint32_t, FrameInstants>& frames) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string stage;
        uint32_t rtp = 0;
        int64_t ns = 0;
        if (!(words >> stage >> rtp >> ns)) continue;
        FrameInstants& frame = frames[rtp];
        if (stage == "frame") {
            frame.captured = ns;
            words >> frame.encoderIn >> frame.encoded;
        } else if (stage == "sent") {
            frame.sent = ns; // the last packet of the frame counts
        } else if (stage == "received") {
            frame.received = ns;
        } else if (stage == "decoded" && !frame.decoded) {
            frame.decoded = ns;
        }
    }
}

const char* const kOrder[] = {
    "glass_to_capture",    "capture_to_encoder", "encode", "encoded_to_sent", "network",
    "received_to_decoded", "capture_to_decoded"};

} // namespace

StageTimings readStageTimings(const std::string& hostTrace, const std::string& viewerTrace, int64_t fromNs,
                              int64_t toNs, const LatencyRecorder::Summary& summary) {
    std::unordered_map<uint32_t, FrameInstants> frames;
    readTrace(hostTrace, frames);
    readTrace(viewerTrace, frames);
    StageTimings timings;
    auto add = [&](const char* name, int64_t from, int64_t to) {
        if (from && to && to >= from) timings.stagesMs[name].push_back(double(to - from) / 1e6);
    };
    std::unordered_map<int64_t, int64_t> capturedByDecodedUnix;
    for (const auto& [rtp, frame] : frames) {
        if (!frame.decoded || frame.decoded < fromNs || frame.decoded > toNs) continue;
        add("capture_to_encoder", frame.captured, frame.encoderIn);
        add("encode", frame.encoderIn, frame.encoded);
        add("encoded_to_sent", frame.encoded, frame.sent);
        add("network", frame.sent, frame.received);
        add("received_to_decoded", frame.received, frame.decoded);
        add("capture_to_decoded", frame.captured, frame.decoded);
        if (frame.captured) capturedByDecodedUnix[bench::unixFromMonotonicNs(frame.decoded)] = frame.captured;
    }
    for (size_t index = 0; index < summary.latenciesMs.size(); ++index) {
        auto found = capturedByDecodedUnix.find(summary.decodedUnixNs[index]);
        if (found == capturedByDecodedUnix.end()) continue;
        double decodedSinceCaptureMs =
            double(summary.decodedUnixNs[index] - bench::unixFromMonotonicNs(found->second)) / 1e6;
        timings.stagesMs["glass_to_capture"].push_back(summary.latenciesMs[index] - decodedSinceCaptureMs);
    }
    return timings;
}

void printStages(const std::string& prefix, const StageTimings& timings) {
    for (const char* name : kOrder) {
        auto found = timings.stagesMs.find(name);
        if (found == timings.stagesMs.end()) continue;
        printFigure(prefix + "stage_" + name + "_p50", percentile(found->second, 0.5), "ms");
        printFigure(prefix + "stage_" + name + "_p95", percentile(found->second, 0.95), "ms");
    }
}

} // namespace quorlinth::latency
