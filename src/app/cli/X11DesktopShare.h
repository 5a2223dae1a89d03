#pragma once

#include "base/LockedBox.h"
#include "base/Result.h"
#include "capture/MacCapture.h"
#include "host/MacInput.h"
#include "host/MacInputController.h"
#include "platform/linux/LogindSessionMonitor.h"
#include "platform/linux/RandRDisplayServices.h"
#include "platform/linux/XShmScreenCapture.h"
#include "platform/linux/XTestInputInjector.h"
#include "platform/linux/XTestInputSources.h"

#include <functional>
#include <memory>
#include <string>

namespace quorlinth::cli {

// The X display named by DISPLAY as the sharing side sees it: its capture pipeline feeding the
// share host, and remote input into it when the user allows it. Main queue only.
class X11DesktopShare {
public:
    struct Hooks {
        std::function<void(SharedPixels)> onPixels; // on the capture queue
        std::function<void(const std::string&)> onStatus;
        std::function<void(const std::string&)> log;
    };

    // Fails when the display cannot be opened.
    static Result<std::unique_ptr<X11DesktopShare>> open(const std::string& executable, Hooks hooks);
    ~X11DesktopShare();

    void start(MacShareQuality quality, std::function<void(Result<void>)> done);
    void stop();

    void setAllowInput(bool on) { inputController->setAllowInput(on); }
    // Any thread: what the device heartbeat reports.
    bool inputReady() const { return input->inputReady(); }
    // A control message from the controller: a viewport request, or input.
    void receiveControl(const std::string& message);
    // The controller left: nothing stays pressed and the display returns to its own viewport.
    void viewerLeft();

private:
    X11DesktopShare(Hooks hooks, std::unique_ptr<RandRDisplayServices> displays,
                    std::shared_ptr<XTestDisplay> inputDisplay, const std::string& executable);

    Hooks hooks;
    std::unique_ptr<RandRDisplayServices> displays;
    XShmScreenCapture capture;
    LogindSessionMonitor session;
    std::shared_ptr<MacCapture> pipeline;
    std::shared_ptr<XTestDisplay> inputDisplay;
    XTestInputInjector injector;
    XTestInputSources sources;
    std::shared_ptr<LockedInputFlag> inputFlag = std::make_shared<LockedInputFlag>(false);
    std::unique_ptr<MacInput> input;
    std::unique_ptr<MacInputController> inputController;
};

} // namespace quorlinth::cli
