#include "XEventRecorder.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

namespace quorlinth::testing {

namespace {

void waitForMap(Display* display, Window window) {
    XEvent event;
    do {
        XWindowEvent(display, window, StructureNotifyMask, &event);
    } while (event.type != MapNotify);
}

void announceWindowManager(Display* display, Window root, Window check) {
    Atom supported[] = {XInternAtom(display, "_NET_SHOWING_DESKTOP", False),
                        XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False)};
    XChangeProperty(display, root, XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(supported), 2);
    XChangeProperty(display, root, XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False), XA_WINDOW, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&check), 1);
    const char name[] = "Recorder WM";
    XChangeProperty(display, check, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(name), sizeof(name) - 1);
    XSelectInput(display, root, SubstructureRedirectMask | SubstructureNotifyMask);
}

} // namespace

XEventRecorder::XEventRecorder(const std::string& displayName, std::function<void()> onEvent,
                               bool windowManager)
    : onEvent(std::move(onEvent)) {
    display = XOpenDisplay(displayName.c_str());
    if (!display) return;
    int screen = DefaultScreen(display);
    Window root = RootWindow(display, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | StructureNotifyMask;
    window = XCreateWindow(display, root, 0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen),
                           0, CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask,
                           &attributes);
    XMapRaised(display, window);
    waitForMap(display, window);
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    if (windowManager) announceWindowManager(display, root, window);
    // Like the toolkits, follow keymap changes through XKB: another client borrowing a keycode
    // for a character is seen at once.
    int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (XkbQueryExtension(display, &opcode, &xkbEventBase, &error, &major, &minor))
        XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
    XSync(display, False);
    running = true;
    worker = std::thread([this] { run(); });
}

XEventRecorder::~XEventRecorder() {
    stopping = true;
    if (worker.joinable()) worker.join();
    if (display) XCloseDisplay(display);
}

void XEventRecorder::run() {
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    while (!stopping) {
        if (XPending(display) == 0) {
            poll(&connection, 1, 50);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        RecordedEvent seen;
        seen.type = event.type;
        switch (event.type) {
        case KeyPress:
        case KeyRelease: {
            char text[32];
            KeySym keysym = NoSymbol;
            XLookupString(&event.xkey, text, sizeof(text), &keysym, nullptr);
            seen.keysym = keysym;
            seen.keycode = event.xkey.keycode;
            seen.state = event.xkey.state;
            seen.x = event.xkey.x_root;
            seen.y = event.xkey.y_root;
            break;
        }
        case ButtonPress:
        case ButtonRelease:
            seen.button = event.xbutton.button;
            seen.state = event.xbutton.state;
            seen.x = event.xbutton.x_root;
            seen.y = event.xbutton.y_root;
            break;
        case MotionNotify:
            seen.state = event.xmotion.state;
            seen.x = event.xmotion.x_root;
            seen.y = event.xmotion.y_root;
            break;
        case ClientMessage: {
            char* name = XGetAtomName(display, event.xclient.message_type);
            seen.message = name ? name : "";
            if (name) XFree(name);
            seen.data = event.xclient.data.l[0];
            break;
        }
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            continue;
        default:
            if (event.type == xkbEventBase) {
                auto* xkb = reinterpret_cast<XkbEvent*>(&event);
                if (xkb->any.xkb_type == XkbMapNotify) XkbRefreshKeyboardMapping(&xkb->map);
            }
            continue;
        }
        record(std::move(seen));
    }
}

void XEventRecorder::record(RecordedEvent event) {
    {
        std::lock_guard lock(mutex);
        recorded.push_back(std::move(event));
    }
    if (onEvent) onEvent();
}

std::vector<RecordedEvent> XEventRecorder::events() const {
    std::lock_guard lock(mutex);
    return recorded;
}

std::vector<RecordedEvent> XEventRecorder::events(const std::set<int>& types) const {
    std::lock_guard lock(mutex);
    std::vector<RecordedEvent> matching;
    for (const auto& event : recorded)
        if (types.count(event.type)) matching.push_back(event);
    return matching;
}

void XEventRecorder::clear() {
    std::lock_guard lock(mutex);
    recorded.clear();
}

} // namespace quorlinth::testing
