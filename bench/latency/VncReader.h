#pragma once

#include "LatencyRecorder.h"
#include "base/Result.h"

#include <functional>
#include <string>

namespace quorlinth::latency {

// A small VNC viewer (libvncclient) that reads the probe's pattern after each completed
// framebuffer update and presses the pointer once a second, for the VNC baseline.
class VncReader {
public:
    struct Figures {
        double firstUpdateMs = 0; // connect → first update carrying a readable pattern
    };
    // Connects to 127.0.0.1:`port`, waits `warmupSeconds`, then records for `seconds`.
    static Result<Figures> run(int port, double warmupSeconds, double seconds, LatencyRecorder& recorder,
                               const std::function<void(bool recording)>& onWindow);
};

} // namespace quorlinth::latency
