#include "app/cli/X11DesktopShare.h"

#include "base/MainQueue.h"
#include "capture/MacCaptureStatus.h"

namespace quorlinth::cli {

namespace {
constexpr Millis kVirtualDisplayReplyTimeout{8000};
}

Result<std::unique_ptr<X11DesktopShare>> X11DesktopShare::open(const std::string& executable, Hooks hooks) {
    auto displays = RandRDisplayServices::open();
    auto inputDisplay = XTestDisplay::open({});
    if (!displays || !inputDisplay) return Error{"无法打开 X 显示器（DISPLAY）"};
    return std::unique_ptr<X11DesktopShare>(
        new X11DesktopShare(std::move(hooks), std::move(displays), std::move(inputDisplay), executable));
}

X11DesktopShare::X11DesktopShare(Hooks hooks, std::unique_ptr<RandRDisplayServices> displays,
                                 std::shared_ptr<XTestDisplay> inputDisplay, const std::string& executable)
    : hooks(std::move(hooks)), displays(std::move(displays)), capture(*this->displays),
      inputDisplay(inputDisplay), injector(inputDisplay, mainQueue()), sources(inputDisplay) {
    MacCapture::Platform platform{
        *this->displays, capture, session,
        MacCapture::childProcessLauncher({executable, kVirtualDisplayReplyTimeout, this->hooks.log}),
        this->hooks.log};
    pipeline = MacCapture::create(platform);
    pipeline->onFrame = [onPixels = this->hooks.onPixels](CapturedFrame frame) { onPixels(frame.pixels); };
    pipeline->onFailure = [this](std::string text) { this->hooks.onStatus(text); };
    pipeline->onWaiting = [this](std::optional<std::string> text) {
        if (text) this->hooks.onStatus(*text);
    };
    pipeline->onLockChange = [this](bool locked) {
        this->hooks.onStatus(captureStatus::lockChanged(locked));
    };
    pipeline->onVirtualDisplay = [this](bool present) {
        this->hooks.onStatus(captureStatus::virtualDisplayChanged(present));
    };

    input = std::make_unique<MacInput>(injector, sources, inputFlag, MacInput::systemUptime, this->hooks.log);
    MacInputController::Hooks inputHooks;
    inputHooks.persistAccess = [](bool) {}; // the command line keeps no settings
    inputHooks.screenLocked = [this] { return pipeline->isLocked(); };
    inputHooks.announceInputReady = [](bool) {}; // the host's heartbeat reads inputReady()
    inputHooks.onStatus = [this](const std::string& text) { this->hooks.onStatus(text); };
    inputController = std::make_unique<MacInputController>(injector, *input, inputFlag, inputHooks);
}

X11DesktopShare::~X11DesktopShare() {
    input->releaseAll();
    pipeline->stop();
}

void X11DesktopShare::start(MacShareQuality quality, std::function<void(Result<void>)> done) {
    pipeline->setQuality(quality);
    pipeline->start(std::move(done));
}

void X11DesktopShare::stop() {
    input->releaseAll();
    pipeline->stop();
}

void X11DesktopShare::receiveControl(const std::string& message) {
    if (routeViewportRequest(message, pipeline.get()) != ViewportRouting::notViewport) return;
    input->handle(message, inputController->allowInput());
}

void X11DesktopShare::viewerLeft() {
    input->releaseAll();
    pipeline->viewerLeft();
}

} // namespace quorlinth::cli
