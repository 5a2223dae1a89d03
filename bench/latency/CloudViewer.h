#pragma once

#include "LatencyRecorder.h"
#include "base/MediaRoute.h"
#include "base/Result.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::latency {

// The controlling side of the benchmark: signs in with the account saved in this XDG home,
// connects a `CloudRTCClient` to the sharing device, reads every decoded picture with the
// instant it was decoded (or painted), and presses the pointer once a second while recording.
class CloudViewer {
public:
    struct Figures {
        double acceptToFirstFrameMs = 0;
        std::optional<RTCMediaRoute> route;
        double receivedKbps = 0; // the receiver's own inbound video statistics
        // With `paint`: decode to end of paint of each new picture, and the UI thread's CPU
        // per painted picture.
        std::vector<double> paintDelaysMs;
        double uiThreadCpuMsPerPicture = 0;
    };
    struct Window {
        double warmupSeconds = 2;
        double seconds = 30;
        std::string iceAddress = "127.0.0.1"; // where this side gathers
        // Called as recording starts (true) and ends (false), on the main thread.
        std::function<void(bool recording)> onWindow;
        // Read each picture once the application's remote view has painted it (needs a
        // QApplication) instead of as the decoder stores it.
        bool paint = false;
    };

    static Result<Figures> run(const std::string& serviceBase, const std::string& deviceID, Window window,
                               LatencyRecorder& recorder);
};

} // namespace quorlinth::latency
