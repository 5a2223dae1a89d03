#pragma once

#include "LatencyRecorder.h"
#include "base/FramePacer.h"
#include "base/Result.h"
#include "base/SerialQueue.h"
#include "capture/FrameScaler.h"
#include "capture/StreamProfile.h"
#include "platform/linux/RandRDisplayServices.h"
#include "platform/linux/XShmScreenCapture.h"

#include <atomic>
#include <gst/gst.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::latency {

// The floor a networked session cannot beat: the sharing side's capture (MIT-SHM, 1/30 s),
// scaling and I420 conversion, the sender's x264 settings and the receiver's decoder, all in
// one process with nothing in between. Decoded pictures go to the recorder.
// `paced` adds the share host's way of feeding the encoder: the newest captured picture is kept
// and a 33 ms pulse pushes it, so the difference shows what that pacing costs.
class FloorPipeline {
public:
    static Result<std::unique_ptr<FloorPipeline>> start(const std::string& display, MacStreamProfile profile,
                                                        bool paced, LatencyRecorder& recorder);
    ~FloorPipeline();
    void stop();

    // Where a picture's time goes, one list of milliseconds per stage and picture:
    // drawn → captured, captured → handed to the encoder (delivery, pacing, scaling, conversion),
    // encoder, decoder (with the conversion to BGRA).
    struct Stages {
        std::vector<double> captureWait, conversion, encode, decode;
    };

    int encodedBytesPerSecond(double seconds) const { return int(double(encodedBytes.load()) / seconds); }
    void resetCounters();
    Stages stages() const;

private:
    FloorPipeline(MacStreamProfile profile, bool paced, LatencyRecorder& recorder)
        : profile(profile), paced(paced), recorder(recorder) {}
    Result<void> buildPipeline(PixelSize output);
    // On the capture queue:
    void captured(const CaptureSample& sample);
    void noteCaptureWait(const CaptureSample& sample);
    void pulse();
    bool withinFrameRate(int64_t timestampNs);
    void push(const SharedPixels& image, int64_t capturedNs, int64_t presentationNs);
    void decoded(GstSample* sample); // decoder thread
    void encoded(GstBuffer* buffer); // encoder thread

    struct InFlight {
        int64_t capturedNs = 0; // monotonic
        int64_t pushedNs = 0;
        int64_t encodedNs = 0;
    };

    MacStreamProfile profile;
    bool paced;
    LatencyRecorder& recorder;
    PixelSize output{0, 0};
    std::unique_ptr<RandRDisplayServices> displays;
    std::unique_ptr<XShmScreenCapture> capture;
    std::shared_ptr<CaptureStream> stream;
    FrameScaler scaler;
    FramePacer pacer{FramePacer::Slack::halfPeriod}; // as the engine's sender paces
    int64_t startNs = 0;
    SharedPixels cached; // paced: the newest picture and when it was captured
    int64_t cachedAtNs = 0;
    Timer pulseTimer;
    GstElement* pipeline = nullptr;
    GstElement* source = nullptr;
    std::atomic<uint64_t> encodedBytes{0};
    std::optional<uint32_t> lastDrawnMs; // capture queue
    mutable std::mutex stageMutex;
    std::map<GstClockTime, InFlight> inFlight; // by presentation time
    Stages measured;
    bool stopped = false;
    // Last, so its thread ends before the state its tasks touch.
    SerialQueue queue{"quorlinth.mac.capture"};
};

} // namespace quorlinth::latency
