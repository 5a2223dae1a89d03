// The probe on the sharing side's display: a full-screen window that shows the wall-clock
// millisecond of each drawing as a block pattern (ClockPattern), redrawn at 60 Hz, with a large
// scrolling texture below it as moving content. A pointer press on the window bumps the press
// count in the pattern at once, so a controller can time input round trips.
//   latency_probe [--static]    (DISPLAY names the X display; --static: no moving content)

#include "ClockPattern.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <vector>

using namespace quorlinth::latency;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kMovingTop = 300;
constexpr int kMovingHeight = kHeight - kMovingTop;
constexpr int kTextureSlack = 512;
constexpr auto kPeriod = std::chrono::nanoseconds(1'000'000'000 / 60);

volatile std::sig_atomic_t stopRequested = 0;

uint64_t realtimeMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1'000'000;
}

class Probe {
public:
    Probe(Display* display, bool moving) : display(display), moving(moving) {
        int screen = DefaultScreen(display);
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = 0x808080;
        attributes.event_mask = ButtonPressMask;
        window = XCreateWindow(display, RootWindow(display, screen), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask,
                               &attributes);
        gc = XCreateGC(display, window, 0, nullptr);
        int depth = DefaultDepth(display, screen);
        patternArea =
            XCreatePixmap(display, window, ClockPattern::kAreaWidth, ClockPattern::kAreaHeight, depth);
        if (moving) texture = makeTexture(screen, depth);
        XMapRaised(display, window);
        XSync(display, False);
    }

    void run() {
        auto next = std::chrono::steady_clock::now();
        while (!stopRequested) {
            if (moving) drawMoving();
            drawPattern();
            XFlush(display);
            next += kPeriod;
            waitUntil(next);
        }
    }

private:
    // Text-like detail (stripes, gradients, noise) wider and taller than the moving area, so it
    // can scroll diagonally without repeating.
    Pixmap makeTexture(int screen, int depth) {
        int width = kWidth + kTextureSlack, height = kMovingHeight + kTextureSlack;
        std::vector<uint32_t> pixels(size_t(width) * height);
        uint32_t seed = 12345;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                seed = seed * 1664525 + 1013904223;
                uint32_t blue = ((x / 7) % 2 ? 230 : 40) ^ (seed >> 28);
                uint32_t green = (y * 3 + x) & 0xff;
                uint32_t red = ((y / 11) % 3) * 90;
                pixels[size_t(y) * width + x] = red << 16 | green << 8 | blue;
            }
        XImage* image = XCreateImage(display, DefaultVisual(display, screen), depth, ZPixmap, 0,
                                     reinterpret_cast<char*>(pixels.data()), width, height, 32, 0);
        Pixmap pixmap = XCreatePixmap(display, window, width, height, depth);
        XPutImage(display, pixmap, gc, image, 0, 0, 0, 0, width, height);
        image->data = nullptr; // the vector owns the pixels
        XDestroyImage(image);
        return pixmap;
    }

    void drawMoving() {
        int offset = (frame++ * 4) % kTextureSlack;
        XCopyArea(display, texture, window, gc, offset, offset, kWidth, kMovingHeight, 0, kMovingTop);
    }

    // Drawn off-screen and copied in one request, so a capture never sees half a pattern.
    void drawPattern() {
        XSetForeground(display, gc, 0x808080);
        XFillRectangle(display, patternArea, gc, 0, 0, ClockPattern::kAreaWidth, ClockPattern::kAreaHeight);
        std::vector<bool> blocks = ClockPattern::encode({uint32_t(realtimeMs()), presses});
        for (int index = 0; index < ClockPattern::kBits; ++index) {
            int column = index % ClockPattern::kColumns, row = index / ClockPattern::kColumns;
            XSetForeground(display, gc, blocks[index] ? 0xFFFFFF : 0x000000);
            XFillRectangle(display, patternArea, gc, ClockPattern::kBlock * (column + 1),
                           ClockPattern::kBlock * (row + 1), ClockPattern::kBlock, ClockPattern::kBlock);
        }
        XCopyArea(display, patternArea, window, gc, 0, 0, ClockPattern::kAreaWidth, ClockPattern::kAreaHeight,
                  ClockPattern::kOriginX - ClockPattern::kBlock,
                  ClockPattern::kOriginY - ClockPattern::kBlock);
    }

    // Sleeps until `deadline`, answering pointer presses as they come.
    void waitUntil(std::chrono::steady_clock::time_point deadline) {
        pollfd connection{ConnectionNumber(display), POLLIN, 0};
        for (;;) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type != ButtonPress) continue;
                ++presses;
                drawPattern();
                XFlush(display);
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || stopRequested) return;
            poll(&connection, 1, int(left.count()));
        }
    }

    Display* display;
    bool moving;
    Window window;
    GC gc;
    Pixmap patternArea;
    Pixmap texture = 0;
    int frame = 0;
    uint8_t presses = 0;
};

} // namespace

int main(int argc, char** argv) {
    bool moving = !(argc > 1 && std::strcmp(argv[1], "--static") == 0);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "latency_probe: cannot open the display\n");
        return 1;
    }
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    Probe probe(display, moving);
    std::printf("probe ready\n");
    std::fflush(stdout);
    probe.run();
    XCloseDisplay(display);
    return 0;
}
