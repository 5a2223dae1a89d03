#pragma once

#include <string>

struct _XDisplay;

// A borderless window over the whole screen, left half red and right half blue, with the
// pointer parked in the far corner, away from the points a test samples.
class X11TestWindow {
public:
    X11TestWindow(const std::string& server, int width, int height);
    ~X11TestWindow();
    X11TestWindow(const X11TestWindow&) = delete;
    X11TestWindow& operator=(const X11TestWindow&) = delete;

    bool ready() const { return display && window; }
    // Fills the two halves with 0xRRGGBB colours.
    void paint(unsigned long left, unsigned long right);
    // Back on top of every other window (paint again afterwards: nothing redraws it).
    void raise();

private:
    _XDisplay* display = nullptr;
    unsigned long window = 0;
    int width;
    int height;
};
