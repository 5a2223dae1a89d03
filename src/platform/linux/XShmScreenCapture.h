#pragma once

#include "platform/ScreenCapture.h"
#include "platform/linux/RandRDisplayServices.h"

namespace quorlinth {

// Screen capture on X11: each stream reads its display's rectangle of the root window with
// MIT-SHM into a few shared-memory buffers that are handed on without copying. DAMAGE wakes the
// stream the moment the screen changes, and the change is captured at once unless that would
// exceed the configured frame rate (then when the next frame is due); an unchanged screen is
// reported idle on each frame interval. The cursor is drawn in from XFixes. X11 asks for no
// screen-recording permission.
class XShmScreenCapture : public ScreenCaptureService {
public:
    static constexpr size_t kBuffers = 4; // queue depth 3 plus the one being filled

    explicit XShmScreenCapture(RandRDisplayServices& displays) : displays(displays) {}

    bool preflightPermission() override;
    Result<std::vector<ShareableDisplay>> shareableDisplays() override;
    Result<std::shared_ptr<CaptureStream>> startStream(DisplayID display, const StreamConfiguration& config,
                                                       Dispatcher& sampleQueue,
                                                       std::function<void(CaptureSample)> onSample,
                                                       std::function<void(std::string)> onStop) override;

private:
    RandRDisplayServices& displays;
};

} // namespace quorlinth
