#include "platform/fake/FakeScreenCapture.h"

#include <algorithm>

namespace quorlinth {

void FakeScreenCapture::Stream::deliver(CaptureSample sample) {
    sampleQueue->post([handler = onSample, sample = std::move(sample)] { handler(sample); });
}

void FakeScreenCapture::Stream::failFromSystem(const std::string& reason) {
    onStop(reason);
}

Result<std::vector<ShareableDisplay>> FakeScreenCapture::shareableDisplays() {
    if (contentError) return Error{*contentError};
    return displays;
}

Result<std::shared_ptr<CaptureStream>>
FakeScreenCapture::startStream(DisplayID display, const StreamConfiguration& config, Dispatcher& sampleQueue,
                               std::function<void(CaptureSample)> onSample,
                               std::function<void(std::string)> onStop) {
    if (!startResults.empty()) {
        auto failure = startResults.front();
        startResults.pop_front();
        if (failure) return Error{*failure};
    }
    bool listed =
        std::any_of(displays.begin(), displays.end(), [display](auto& d) { return d.id == display; });
    if (!listed) return Error{"FakeCapture 1：display not shareable"};
    auto stream = std::make_shared<Stream>();
    stream->display = display;
    stream->config = config;
    stream->sampleQueue = sampleQueue.handle();
    stream->onSample = std::move(onSample);
    stream->onStop = std::move(onStop);
    streams.push_back(stream);
    return std::shared_ptr<CaptureStream>(stream);
}

} // namespace quorlinth
