#pragma once

#include "ClockPattern.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::latency {

// Collects what one viewer saw while recording: each picture with the wall-clock instant it
// was decoded, and each pointer press with the instant it was sent. Thread-safe.
class LatencyRecorder {
public:
    struct Summary {
        std::vector<double> latenciesMs;    // one per new drawing seen, in arrival order
        std::vector<int64_t> decodedUnixNs; // when each of those was decoded
        std::vector<double> roundTripsMs;
        int pictures = 0;     // every picture while recording
        int readPictures = 0; // pictures whose pattern was read
        int pressesSent = 0;
        double seconds = 0;
        double longestGapMs = 0; // between two pictures shown while recording
    };

    void setRecording(bool on);
    // A decoded picture of the whole screen (BGRA-like, any size).
    void picture(int64_t decodedUnixNs, const uint8_t* pixels, int width, int height, int stride);
    // A press about to be sent; false (and nothing recorded) before the first pattern was read.
    bool pressSent(int64_t sentUnixNs);
    Summary summary() const;

private:
    struct Pending {
        uint8_t presses; // the count the probe shows once it has seen this press
        int64_t sentUnixNs;
    };
    void notePresses(uint8_t shown, int64_t decodedUnixNs);

    mutable std::mutex mutex;
    bool recording = false;
    int64_t recordingSinceNs = 0;
    int64_t recordedNs = 0;
    std::optional<ClockReading> last;
    int64_t lastPictureUnixNs = 0;
    uint8_t pressesExpected = 0;
    std::deque<Pending> pending;
    Summary collected;
};

double percentile(std::vector<double> values, double fraction);

// Prints one figure as `name value unit`.
void printFigure(const std::string& name, double value, const std::string& unit);
// The latency, rate and input figures of one case.
void printSummary(const std::string& prefix, const LatencyRecorder::Summary& summary);

} // namespace quorlinth::latency
