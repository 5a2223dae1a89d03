#pragma once

#include <string>
#include <sys/types.h>

namespace quorlinth::testing {

// A private Xvfb for one test: picks a free display number itself and stops with the object.
class XvfbServer {
public:
    XvfbServer(int width = 1920, int height = 1080, int depth = 24);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid > 0 && !name.empty(); }
    // ":N", suitable for DISPLAY or XOpenDisplay.
    const std::string& display() const { return name; }

private:
    pid_t pid = -1;
    std::string name;
};

} // namespace quorlinth::testing
