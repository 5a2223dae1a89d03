#include "LatencyRecorder.h"

#include "ProcessUsage.h"

#include <algorithm>
#include <cstdio>

namespace quorlinth::latency {

namespace {
// A reading further in the past than this is a misread, not a late picture.
constexpr double kImplausibleMs = 10'000;
} // namespace

void LatencyRecorder::setRecording(bool on) {
    std::lock_guard lock(mutex);
    int64_t now = bench::monotonicNowNs();
    if (on && !recording) {
        recordingSinceNs = now;
        lastPictureUnixNs = 0;
    }
    if (!on && recording) recordedNs += now - recordingSinceNs;
    recording = on;
}

void LatencyRecorder::picture(int64_t decodedUnixNs, const uint8_t* pixels, int width, int height,
                              int stride) {
    auto reading = ClockPattern::decode(pixels, width, height, stride);
    std::lock_guard lock(mutex);
    if (recording) {
        ++collected.pictures;
        if (lastPictureUnixNs)
            collected.longestGapMs =
                std::max(collected.longestGapMs, double(decodedUnixNs - lastPictureUnixNs) / 1e6);
        lastPictureUnixNs = decodedUnixNs;
    }
    if (!reading) return;
    if (recording) ++collected.readPictures;
    // Only the first picture of each drawing counts: a repeated picture says nothing new.
    bool newer = !last || wrappedDifferenceMs(last->drawnMs, reading->drawnMs) > 0;
    if (newer && recording) {
        double latency = double(wrappedDifferenceMs(reading->drawnMs, uint64_t(decodedUnixNs / 1'000'000))) +
                         double(decodedUnixNs % 1'000'000) / 1e6;
        if (latency >= 0 && latency < kImplausibleMs) {
            collected.latenciesMs.push_back(latency);
            collected.decodedUnixNs.push_back(decodedUnixNs);
        }
    }
    if (!last) pressesExpected = reading->presses;
    if (newer) {
        notePresses(reading->presses, decodedUnixNs);
        last = reading;
    }
}

void LatencyRecorder::notePresses(uint8_t shown, int64_t decodedUnixNs) {
    while (!pending.empty()) {
        int8_t ahead = int8_t(uint8_t(shown - pending.front().presses));
        if (ahead < 0) return;
        // Equal: this picture is the press's answer. Beyond: the press was never seen alone.
        if (ahead == 0 && recording)
            collected.roundTripsMs.push_back(double(decodedUnixNs - pending.front().sentUnixNs) / 1e6);
        pending.pop_front();
    }
}

bool LatencyRecorder::pressSent(int64_t sentUnixNs) {
    std::lock_guard lock(mutex);
    if (!last || !recording) return false;
    pending.push_back({++pressesExpected, sentUnixNs});
    ++collected.pressesSent;
    return true;
}

LatencyRecorder::Summary LatencyRecorder::summary() const {
    std::lock_guard lock(mutex);
    Summary result = collected;
    result.seconds = double(recordedNs + (recording ? bench::monotonicNowNs() - recordingSinceNs : 0)) / 1e9;
    return result;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = size_t(fraction * double(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void printFigure(const std::string& name, double value, const std::string& unit) {
    std::printf("%s %.4g %s\n", name.c_str(), value, unit.c_str());
    std::fflush(stdout);
}

void printSummary(const std::string& prefix, const LatencyRecorder::Summary& summary) {
    const auto& latencies = summary.latenciesMs;
    double seconds = std::max(summary.seconds, 1e-3);
    printFigure(prefix + "latency_p50", percentile(latencies, 0.5), "ms");
    printFigure(prefix + "latency_p95", percentile(latencies, 0.95), "ms");
    printFigure(prefix + "latency_max",
                latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end()), "ms");
    printFigure(prefix + "latency_samples", double(latencies.size()), "drawings");
    printFigure(prefix + "decoded_fps", summary.pictures / seconds, "fps");
    printFigure(prefix + "longest_gap", summary.longestGapMs, "ms");
    printFigure(prefix + "new_drawings_per_second", double(latencies.size()) / seconds, "fps");
    printFigure(prefix + "pattern_read_ratio",
                summary.pictures ? double(summary.readPictures) / summary.pictures : 0, "ratio");
    if (summary.pressesSent > 0) {
        printFigure(prefix + "input_round_trip_p50", percentile(summary.roundTripsMs, 0.5), "ms");
        printFigure(prefix + "input_round_trip_p95", percentile(summary.roundTripsMs, 0.95), "ms");
        printFigure(prefix + "input_round_trip_samples", double(summary.roundTripsMs.size()), "presses");
        printFigure(prefix + "input_presses_sent", double(summary.pressesSent), "presses");
    }
}

} // namespace quorlinth::latency
