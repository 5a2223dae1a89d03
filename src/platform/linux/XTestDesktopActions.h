#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Xlib's Display, declared here so that users of this header do not get Xlib's macros.
struct _XDisplay;

namespace quorlinth {

// What the running window manager offers for "show desktop" and "window overview", found
// through the EWMH properties it publishes on the root window.
class XTestDesktopActions {
public:
    explicit XTestDesktopActions(_XDisplay* display) : display(display) {}

    // Toggles _NET_SHOWING_DESKTOP; false when the window manager does not support it.
    bool toggleShowingDesktop();
    // The keysyms to hold and release, in order, that open the window manager's overview; none
    // for a window manager without one we know.
    std::optional<std::vector<uint32_t>> overviewChord();
    // The running window manager's name (_NET_WM_NAME of its check window); empty when none.
    std::string windowManagerName();

private:
    bool supports(const char* atomName);

    _XDisplay* display;
};

} // namespace quorlinth
