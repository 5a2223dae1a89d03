#include "X11TestWindow.h"

#include <X11/Xlib.h>

X11TestWindow::X11TestWindow(const std::string& server, int width, int height)
    : width(width), height(height) {
    display = XOpenDisplay(server.c_str());
    if (!display) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(display, DefaultScreen(display));
    window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, width, height, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display, window);
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, width - 1, height - 1);
    paint(0xFF0000, 0x0000FF);
}

X11TestWindow::~X11TestWindow() {
    if (display) XCloseDisplay(display);
}

void X11TestWindow::paint(unsigned long left, unsigned long right) {
    GC gc = XCreateGC(display, window, 0, nullptr);
    XSetForeground(display, gc, left);
    XFillRectangle(display, window, gc, 0, 0, width / 2, height);
    XSetForeground(display, gc, right);
    XFillRectangle(display, window, gc, width / 2, 0, width - width / 2, height);
    XFreeGC(display, gc);
    XSync(display, False);
}

void X11TestWindow::raise() {
    XRaiseWindow(display, window);
    XSync(display, False);
}
