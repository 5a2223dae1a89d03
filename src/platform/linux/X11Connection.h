#pragma once

#include "platform/Displays.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Xlib's Display, declared here so that users of this header do not get Xlib's macros.
struct _XDisplay;

namespace quorlinth {

// Virtual displays live on X servers of their own; their ids carry the server's display number
// above every id a server hands out for its outputs (those stay below 2^29).
constexpr DisplayID kVirtualDisplayIDBase = 0x40000000;
inline DisplayID virtualDisplayID(int displayNumber) {
    return kVirtualDisplayIDBase + DisplayID(displayNumber);
}
inline std::optional<int> virtualDisplayNumber(DisplayID id) {
    if (id < kVirtualDisplayIDBase) return std::nullopt;
    return int(id - kVirtualDisplayIDBase);
}

// The root-window property by which a virtual display's server is known: five CARDINALs,
// width and height in points, HiDPI flag, serial, and the pid of the program that owns it.
constexpr const char* kVirtualDisplayProperty = "_QUORLINTH_VIRTUAL_DISPLAY";

// Each virtual display also leaves a marker file named after its owner and display number, so
// the owner finds its own servers without knocking on every X server of the machine (one that
// is stopped would never answer).
std::string virtualDisplayMarker(pid_t owner, int displayNumber);
// The display numbers of the markers `owner` has; stale ones included.
std::vector<int> virtualDisplayMarkers(pid_t owner);
// Whether the server a marker names still runs (its pid is alive and not a zombie).
bool virtualDisplayServerRunning(pid_t owner, int displayNumber);

// One Xlib connection that survives its server: a lost server marks the connection broken
// instead of ending the process, and protocol errors are counted instead of fatal.
class X11Connection {
public:
    // Null when the server cannot be reached. An empty name means $DISPLAY.
    static std::unique_ptr<X11Connection> open(const std::string& name);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    _XDisplay* get() const { return display; }
    bool broken() const { return lost->load(); }
    // The error code of the last failed request on this thread since the previous call; 0 if none.
    static int takeLastError();

private:
    X11Connection(_XDisplay* display, std::shared_ptr<std::atomic<bool>> lost)
        : display(display), lost(lost) {}
    _XDisplay* display;
    std::shared_ptr<std::atomic<bool>> lost;
};

} // namespace quorlinth
