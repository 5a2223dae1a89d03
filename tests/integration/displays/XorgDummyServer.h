#pragma once

#include <string>
#include <sys/types.h>

namespace quorlinth::testing {

// A private Xorg server on the dummy video driver for one test: unlike Xvfb its outputs take
// new modes. Its configuration and log live in a temporary folder; it picks a free display
// number itself and stops with the object. Xorg with a configuration of our own needs root.
class XorgDummyServer {
public:
    XorgDummyServer(int width = 1920, int height = 1080);
    ~XorgDummyServer();
    XorgDummyServer(const XorgDummyServer&) = delete;
    XorgDummyServer& operator=(const XorgDummyServer&) = delete;

    bool running() const { return pid > 0 && !name.empty(); }
    // ":N", suitable for DISPLAY or XOpenDisplay.
    const std::string& display() const { return name; }

private:
    pid_t pid = -1;
    std::string name;
    std::string folder;
};

} // namespace quorlinth::testing
