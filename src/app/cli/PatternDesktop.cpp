#include "app/cli/PatternDesktop.h"

#include <atomic>

namespace quorlinth::cli {

namespace {

constexpr int kFramesPerSecond = 30;

class NoObservation : public Observation {};

// The pattern drawn on its own queue, handed to the capture's sample queue until stopped.
class PatternStream : public CaptureStream {
public:
    PatternStream(int width, int height, Dispatcher& sampleQueue, std::function<void(CaptureSample)> onSample)
        : pattern(width, height, kFramesPerSecond,
                  [open = open, target = sampleQueue.handle(), onSample](SharedPixels pixels) {
                      if (!*open) return;
                      target->post([open, onSample, pixels = std::move(pixels)] {
                          if (!*open) return;
                          CaptureSample sample;
                          sample.image = pixels;
                          sample.status = FrameStatus::complete;
                          sample.timestampNs = Clock::now().time_since_epoch().count();
                          onSample(std::move(sample));
                      });
                  }) {}
    ~PatternStream() override { stop(); }
    void stop() override { *open = false; }
    // The pattern keeps its own rate; the share host paces what it sends.
    void updateConfiguration(const StreamConfiguration&) override {}

private:
    std::shared_ptr<std::atomic<bool>> open = std::make_shared<std::atomic<bool>>(true);
    TestPattern pattern;
};

} // namespace

std::unique_ptr<Observation> PatternDesktop::observeChanges(std::function<void()>) {
    return std::make_unique<NoObservation>();
}

std::unique_ptr<Observation> PatternDesktop::observe(std::function<void(SessionEvent)>) {
    return std::make_unique<NoObservation>();
}

Result<std::vector<ShareableDisplay>> PatternDesktop::shareableDisplays() {
    return std::vector<ShareableDisplay>{{kDisplay, mode.width, mode.height}};
}

Result<std::shared_ptr<CaptureStream>>
PatternDesktop::startStream(DisplayID display, const StreamConfiguration&, Dispatcher& sampleQueue,
                            std::function<void(CaptureSample)> onSample, std::function<void(std::string)>) {
    if (display != kDisplay) return Error{"没有这个显示器"};
    return std::shared_ptr<CaptureStream>(
        std::make_shared<PatternStream>(int(mode.width), int(mode.height), sampleQueue, std::move(onSample)));
}

} // namespace quorlinth::cli
