#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

using DisplayID = uint32_t;

// A display mode: size in points and in pixels (pixels are twice the points on a HiDPI mode).
struct DisplayMode {
    int64_t width = 0;
    int64_t height = 0;
    int64_t pixelWidth = 0;
    int64_t pixelHeight = 0;
    bool operator==(const DisplayMode&) const = default;
};

// Keeps an installed observer alive; destroying it removes the observer.
class Observation {
public:
    virtual ~Observation() = default;
};

// The display services of the desktop session: which displays exist, which one is the main
// display, their modes and mirroring. Ids stay stable while a display stays connected.
class DisplayServices {
public:
    virtual ~DisplayServices() = default;

    virtual DisplayID mainDisplay() = 0;
    // Displays that are drawn to (online and not mirroring another one), in system order.
    virtual std::vector<DisplayID> activeDisplays() = 0;
    // Every connected display, including mirrors.
    virtual std::vector<DisplayID> onlineDisplays() = 0;
    virtual bool isOnline(DisplayID display) = 0;
    virtual bool isAsleep(DisplayID display) = 0;
    virtual bool isBuiltin(DisplayID display) = 0;
    // The display's bounds in points; nullopt for an unknown display.
    virtual std::optional<DisplayMode> bounds(DisplayID display) = 0;
    virtual std::optional<DisplayMode> currentMode(DisplayID display) = 0;
    // Every mode, including duplicate low-resolution ones.
    virtual std::vector<DisplayMode> allModes(DisplayID display) = 0;
    // 0 on success, a platform error code otherwise.
    virtual int applyMode(DisplayID display, const DisplayMode& mode) = 0;
    // The display that `display` mirrors; 0 when none.
    virtual DisplayID mirrorsDisplay(DisplayID display) = 0;
    // Makes `display` mirror `master` (master 0 removes mirroring); 0 on success.
    virtual int configureMirror(DisplayID display, DisplayID master) = 0;
    // Whether a real display can be made to mirror another one at all. Where it cannot, a
    // controller's own resolution is shown by changing the real display's mode instead.
    virtual bool canMirror() = 0;
    // The name a person knows the display by; empty when no screen shows it.
    virtual std::string localizedName(DisplayID display) = 0;
    // Calls `changed` (on any thread) when the arrangement or a mode changes.
    virtual std::unique_ptr<Observation> observeChanges(std::function<void()> changed) = 0;
};

} // namespace quorlinth
