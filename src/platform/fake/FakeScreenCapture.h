#pragma once

#include "platform/ScreenCapture.h"

#include <deque>
#include <memory>
#include <vector>

namespace quorlinth {

// A capture service whose displays and start results a test sets; keeps every stream it
// started so the test can feed samples or end a stream as the system would.
class FakeScreenCapture : public ScreenCaptureService {
public:
    class Stream : public CaptureStream {
    public:
        DisplayID display = 0;
        StreamConfiguration config;
        bool stopped = false;
        // Delivers a sample on the stream's sample queue.
        void deliver(CaptureSample sample);
        // Ends the stream as the system would.
        void failFromSystem(const std::string& reason);
        void stop() override { stopped = true; }
        void updateConfiguration(const StreamConfiguration& changed) override { config = changed; }

    private:
        friend class FakeScreenCapture;
        std::shared_ptr<Scheduler> sampleQueue;
        std::function<void(CaptureSample)> onSample;
        std::function<void(std::string)> onStop;
    };

    std::vector<ShareableDisplay> displays;
    // Errors returned by the next startStream calls, in order; empty entries succeed.
    std::deque<std::optional<std::string>> startResults;
    std::optional<std::string> contentError;
    bool permitted = true;
    std::vector<std::shared_ptr<Stream>> streams;

    std::shared_ptr<Stream> latest() const { return streams.empty() ? nullptr : streams.back(); }

    bool preflightPermission() override { return permitted; }
    Result<std::vector<ShareableDisplay>> shareableDisplays() override;
    Result<std::shared_ptr<CaptureStream>> startStream(DisplayID display, const StreamConfiguration& config,
                                                       Dispatcher& sampleQueue,
                                                       std::function<void(CaptureSample)> onSample,
                                                       std::function<void(std::string)> onStop) override;
};

} // namespace quorlinth
