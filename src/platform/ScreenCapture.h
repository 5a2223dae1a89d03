#pragma once

#include "base/Result.h"
#include "base/Scheduler.h"
#include "platform/Displays.h"
#include "platform/PixelBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// The status a captured sample carries; only `complete` holds a new picture.
enum class FrameStatus { complete, idle, blank, suspended, started, stopped };

struct CaptureSample {
    bool screenOutput = true; // the stream's screen output (not audio)
    bool valid = true;
    bool dataReady = true;
    SharedPixels image; // null when the sample carries no picture
    std::optional<FrameStatus> status;
    int64_t timestampNs = 0; // monotonic clock
};

// A display the capture service can record.
struct ShareableDisplay {
    DisplayID id = 0;
    int64_t width = 0; // points
    int64_t height = 0;
};

constexpr uint32_t kPixelFormatBGRA = 0x42475241; // 'BGRA'

struct StreamConfiguration {
    int width = 0; // output size; samples may arrive at the display's pixel size
    int height = 0;
    int64_t minimumFrameIntervalValue = 1;
    int32_t minimumFrameIntervalTimescale = 30;
    int queueDepth = 3;
    bool showsCursor = true;
    bool capturesAudio = false;
    uint32_t pixelFormat = kPixelFormatBGRA;
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // Ends delivery; idempotent. No sample is delivered once this returns on the sample queue.
    virtual void stop() = 0;
    // A running stream takes the new frame interval (the output size stays as started).
    virtual void updateConfiguration(const StreamConfiguration& config) = 0;
};

// Records one display at a time as a stream of BGRA samples.
class ScreenCaptureService {
public:
    virtual ~ScreenCaptureService() = default;

    // Whether this process may record the screen at all.
    virtual bool preflightPermission() = 0;
    virtual Result<std::vector<ShareableDisplay>> shareableDisplays() = 0;
    // Starts a stream of `display`. Samples are delivered on `sampleQueue`; `onStop` is called
    // (on any thread) with the reason when the system ends the stream.
    virtual Result<std::shared_ptr<CaptureStream>>
    startStream(DisplayID display, const StreamConfiguration& config, Dispatcher& sampleQueue,
                std::function<void(CaptureSample)> onSample, std::function<void(std::string)> onStop) = 0;
};

} // namespace quorlinth
