#pragma once

#include "platform/linux/LogindSessionMonitor.h"
#include "platform/linux/RandRDisplayServices.h"
#include "platform/linux/XShmScreenCapture.h"
#include "platform/linux/XTestInputInjector.h"
#include "platform/linux/XTestInputSources.h"

#include <memory>

namespace quorlinth {

// The X display named by DISPLAY as the model sees it: its screens, capture, session, input and
// keyboard layouts. Main queue.
struct X11Desktop {
    std::unique_ptr<RandRDisplayServices> displays;
    std::shared_ptr<XTestDisplay> inputDisplay;
    std::unique_ptr<XShmScreenCapture> capture;
    std::unique_ptr<LogindSessionMonitor> session;
    std::unique_ptr<XTestInputInjector> injector;
    std::unique_ptr<XTestInputSources> sources;

    // Null when the display cannot be opened.
    static std::unique_ptr<X11Desktop> open();
};

} // namespace quorlinth
