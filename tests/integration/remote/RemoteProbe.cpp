// An X client standing in for the applications on a shared display, printing what reaches it,
// one line each:
//   ready WxH              both windows are mapped
//   press|release B X Y    a pointer button on either window (root coordinates)
//   focus                  a click gave the text window the keyboard focus
//   typed TEXT             everything typed into the text window so far
//   window X Y             where the small window sits after being dragged
// The text window covers the screen; the small window on top moves itself when dragged with the
// left button, as a window manager would move it by its frame.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kSmallX = 64, kSmallY = 36, kSmallWidth = 160, kSmallHeight = 90;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void appendUtf8(std::string& text, unsigned long codePoint) {
    if (codePoint < 0x80) {
        text += char(codePoint);
    } else if (codePoint < 0x800) {
        text += char(0xC0 | (codePoint >> 6));
        text += char(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        text += char(0xE0 | (codePoint >> 12));
        text += char(0x80 | ((codePoint >> 6) & 0x3F));
        text += char(0x80 | (codePoint & 0x3F));
    } else {
        text += char(0xF0 | (codePoint >> 18));
        text += char(0x80 | ((codePoint >> 12) & 0x3F));
        text += char(0x80 | ((codePoint >> 6) & 0x3F));
        text += char(0x80 | (codePoint & 0x3F));
    }
}

// The character a keysym types: Latin-1 keysyms are their code point, Unicode keysyms carry it.
bool typedCharacter(KeySym keysym, unsigned long& codePoint) {
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) {
        codePoint = keysym;
        return true;
    }
    if ((keysym & 0xFF000000) == 0x01000000) {
        codePoint = keysym & 0x00FFFFFF;
        return true;
    }
    return false;
}

Window makeWindow(Display* display, int x, int y, int width, int height, unsigned long colour, long events) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = colour;
    attributes.event_mask = events | StructureNotifyMask;
    Window window = XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0, CopyFromParent,
                                  InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask,
                                  &attributes);
    XMapRaised(display, window);
    XEvent event;
    do {
        XWindowEvent(display, window, StructureNotifyMask, &event);
    } while (event.type != MapNotify);
    return window;
}

} // namespace

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    int screen = DefaultScreen(display);
    int width = DisplayWidth(display, screen), height = DisplayHeight(display, screen);
    Window text = makeWindow(display, 0, 0, width, height, 0x336699,
                             KeyPressMask | ButtonPressMask | ButtonReleaseMask);
    Window small = makeWindow(display, kSmallX, kSmallY, kSmallWidth, kSmallHeight, 0xFFCC00,
                              ButtonPressMask | ButtonReleaseMask | Button1MotionMask);
    // Follow keymap changes as the toolkits do: characters typed through borrowed keycodes.
    int opcode = 0, xkbEventBase = -1, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (XkbQueryExtension(display, &opcode, &xkbEventBase, &error, &major, &minor))
        XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
    XSync(display, False);
    say("ready " + std::to_string(width) + "x" + std::to_string(height));

    std::string typed;
    int smallX = kSmallX, smallY = kSmallY;
    int grabX = 0, grabY = 0, grabWindowX = 0, grabWindowY = 0;
    bool dragging = false;
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case ButtonPress:
        case ButtonRelease: {
            const XButtonEvent& button = event.xbutton;
            say(std::string(event.type == ButtonPress ? "press " : "release ") +
                std::to_string(button.button) + " " + std::to_string(button.x_root) + " " +
                std::to_string(button.y_root));
            if (button.window == text && event.type == ButtonPress && button.button == Button1) {
                XSetInputFocus(display, text, RevertToParent, CurrentTime);
                say("focus");
            }
            if (button.window == small && button.button == Button1) {
                dragging = event.type == ButtonPress;
                grabX = button.x_root;
                grabY = button.y_root;
                grabWindowX = smallX;
                grabWindowY = smallY;
                if (!dragging) {
                    Window child;
                    int x = 0, y = 0;
                    XSync(display, False);
                    XTranslateCoordinates(display, small, DefaultRootWindow(display), 0, 0, &x, &y, &child);
                    say("window " + std::to_string(x) + " " + std::to_string(y));
                }
            }
            break;
        }
        case MotionNotify:
            if (dragging && event.xmotion.window == small) {
                smallX = grabWindowX + event.xmotion.x_root - grabX;
                smallY = grabWindowY + event.xmotion.y_root - grabY;
                XMoveWindow(display, small, smallX, smallY);
            }
            break;
        case KeyPress: {
            char buffer[32];
            KeySym keysym = NoSymbol;
            XLookupString(&event.xkey, buffer, sizeof buffer, &keysym, nullptr);
            unsigned long codePoint = 0;
            if (event.xkey.window == text && typedCharacter(keysym, codePoint)) {
                appendUtf8(typed, codePoint);
                say("typed " + typed);
            }
            break;
        }
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            break;
        default:
            if (event.type == xkbEventBase) {
                auto* xkb = reinterpret_cast<XkbEvent*>(&event);
                if (xkb->any.xkb_type == XkbMapNotify) XkbRefreshKeyboardMapping(&xkb->map);
            }
            break;
        }
    }
}
