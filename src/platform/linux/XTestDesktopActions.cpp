#include "platform/linux/XTestDesktopActions.h"

#include "platform/linux/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace quorlinth {

namespace {

// Reads a property of 32-bit items; empty when absent or of another type.
std::vector<unsigned long> readLongs(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &format, &count,
                           &remaining, &data) == Success &&
        actualType == type && format == 32 && data) {
        auto* items = reinterpret_cast<unsigned long*>(data);
        values.assign(items, items + count);
    }
    if (data) XFree(data);
    return values;
}

std::string readUtf8(Display* display, Window window, Atom property) {
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(display, window, property, 0, 1024, False, utf8, &actualType, &format, &count,
                           &remaining, &data) == Success &&
        actualType == utf8 && format == 8 && data) {
        text.assign(reinterpret_cast<char*>(data), count);
    }
    if (data) XFree(data);
    return text;
}

} // namespace

bool XTestDesktopActions::supports(const char* atomName) {
    Window root = DefaultRootWindow(display);
    Atom wanted = XInternAtom(display, atomName, False);
    for (unsigned long atom :
         readLongs(display, root, XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM)) {
        if (atom == wanted) return true;
    }
    return false;
}

bool XTestDesktopActions::toggleShowingDesktop() {
    if (!supports("_NET_SHOWING_DESKTOP")) return false;
    Window root = DefaultRootWindow(display);
    Atom showing = XInternAtom(display, "_NET_SHOWING_DESKTOP", False);
    auto current = readLongs(display, root, showing, XA_CARDINAL);
    bool shown = !current.empty() && current[0] != 0;

    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = root;
    event.xclient.message_type = showing;
    event.xclient.format = 32;
    event.xclient.data.l[0] = shown ? 0 : 1;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
    return true;
}

std::string XTestDesktopActions::windowManagerName() {
    Window root = DefaultRootWindow(display);
    Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    auto windows = readLongs(display, root, check, XA_WINDOW);
    if (windows.empty()) return {};
    std::string name = readUtf8(display, windows[0], XInternAtom(display, "_NET_WM_NAME", False));
    // A check window left behind by a window manager that has gone raises BadWindow: no name.
    XSync(display, False);
    if (X11Connection::takeLastError() != 0) return {};
    return name;
}

std::optional<std::vector<uint32_t>> XTestDesktopActions::overviewChord() {
    std::string name = windowManagerName();
    if (name == "GNOME Shell") return std::vector<uint32_t>{XK_Super_L};
    if (name == "KWin") return std::vector<uint32_t>{XK_Super_L, XK_w};
    return std::nullopt;
}

} // namespace quorlinth
