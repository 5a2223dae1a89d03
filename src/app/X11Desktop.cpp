#include "app/X11Desktop.h"

#include "base/MainQueue.h"

namespace quorlinth {

std::unique_ptr<X11Desktop> X11Desktop::open() {
    auto desktop = std::make_unique<X11Desktop>();
    desktop->displays = RandRDisplayServices::open();
    desktop->inputDisplay = XTestDisplay::open({});
    if (!desktop->displays || !desktop->inputDisplay) return nullptr;
    desktop->capture = std::make_unique<XShmScreenCapture>(*desktop->displays);
    desktop->session = std::make_unique<LogindSessionMonitor>();
    desktop->injector = std::make_unique<XTestInputInjector>(desktop->inputDisplay, mainQueue());
    desktop->sources = std::make_unique<XTestInputSources>(desktop->inputDisplay);
    return desktop;
}

} // namespace quorlinth
