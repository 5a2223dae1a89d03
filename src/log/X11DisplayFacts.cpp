#include "log/X11DisplayFacts.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

namespace quorlinth {

DisplayFacts queryX11DisplayFacts() {
    DisplayFacts facts;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return facts;
    facts.screenRecording = true;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    facts.accessibility = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
    // Monitors need RandR 1.5; asking an older server would raise a fatal protocol error.
    if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 5))) {
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
        for (int index = 0; monitors && index < count; ++index) {
            const XRRMonitorInfo& monitor = monitors[index];
            char* name = monitor.name != None ? XGetAtomName(display, monitor.name) : nullptr;
            facts.screens.push_back({name ? name : "?", monitor.x, monitor.y, monitor.width, monitor.height});
            if (name) XFree(name);
        }
        if (monitors) XRRFreeMonitors(monitors);
    }
    XCloseDisplay(display);
    return facts;
}

} // namespace quorlinth
