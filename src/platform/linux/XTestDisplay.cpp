#include "platform/linux/XTestDisplay.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <mutex>

namespace quorlinth {

namespace {

// Xlib's default handler for a lost server ends the process before the connection's own exit
// handler can mark it broken; this one only lets that handler run.
int keepRunning(Display*) {
    return 0;
}

} // namespace

std::shared_ptr<XTestDisplay> XTestDisplay::open(const std::string& name) {
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, [] { XSetIOErrorHandler(keepRunning); });
    auto connection = X11Connection::open(name);
    if (!connection) return nullptr;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    bool xtest = XTestQueryExtension(connection->get(), &eventBase, &errorBase, &major, &minor);
    // Synthetic events must not be held back while another client grabs the server.
    if (xtest) XTestGrabControl(connection->get(), True);
    return std::shared_ptr<XTestDisplay>(new XTestDisplay(std::move(connection), xtest));
}

} // namespace quorlinth
