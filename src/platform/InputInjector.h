#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace quorlinth {

// Global display coordinates, top-left origin.
struct InputPoint {
    double x = 0;
    double y = 0;
    bool operator==(const InputPoint&) const = default;
};

// The main (primary) display's rectangle in global coordinates.
struct MainDisplayBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const MainDisplayBounds&) const = default;
};

enum class MouseButton : uint32_t { left = 0, right = 1 };

struct MouseEvent {
    enum class Kind { down, up, dragged, moved };
    Kind kind = Kind::moved;
    MouseButton button = MouseButton::left; // left for moves
    InputPoint point;
    int64_t clickCount = 0;
    bool operator==(const MouseEvent&) const = default;
};

// A two-axis scroll in pixel units: positive vertical scrolls up, positive horizontal scrolls left.
struct ScrollEvent {
    int32_t vertical = 0;
    int32_t horizontal = 0;
    bool operator==(const ScrollEvent&) const = default;
};

// Modifier flag masks carried by key events (the controller's wire values).
namespace keyFlag {
inline constexpr uint64_t kShift = 0x20000;
inline constexpr uint64_t kControl = 0x40000;
inline constexpr uint64_t kOption = 0x80000;
inline constexpr uint64_t kCommand = 0x100000;
inline constexpr uint64_t kFn = 0x800000;
} // namespace keyFlag

// One key going down or up: `code` is a macOS virtual key code (0..127), `flags` the sum of the
// keyFlag masks in effect.
struct KeyEvent {
    uint16_t code = 0;
    bool down = false;
    uint64_t flags = 0;
    bool operator==(const KeyEvent&) const = default;
};

// A key event carrying a whole string to type (valid UTF-8), independent of the keyboard layout.
struct TextEvent {
    std::string text;
    bool down = false;
    bool operator==(const TextEvent&) const = default;
};

using InputEvent = std::variant<MouseEvent, ScrollEvent, KeyEvent, TextEvent>;

// Posts synthetic input into the shared desktop. Main thread only, except trusted().
class InputInjector {
public:
    virtual ~InputInjector() = default;

    // Whether events may be posted at all (the accessibility permission); no prompt. Any thread.
    virtual bool trusted() const = 0;
    // The same check, asking the system to prompt the user where it has such a prompt.
    virtual bool requestTrust() = 0;
    // None when the main display is unknown.
    virtual std::optional<MainDisplayBounds> mainDisplayBounds() = 0;
    // Events that cannot be created are skipped silently.
    virtual void post(const InputEvent& event) = 0;
    // Show or hide the desktop through the desktop's own mechanism; false when there is none.
    virtual bool showDesktop() = 0;
    // Open the desktop's window overview; false when there is none.
    virtual bool showWindowOverview() = 0;
};

} // namespace quorlinth
