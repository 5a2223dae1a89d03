#pragma once

#include "account/MacDevice.h"
#include "base/Json.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

namespace quorlinth {

// A position as fractions of the remote picture: x from 0 (left edge) to 1 (right edge), y from 0
// (top) to 1 (bottom). Values outside 0..1 lie outside the picture.
struct PicturePoint {
    double x = 0;
    double y = 0;
    bool operator==(const PicturePoint&) const = default;
};

// Where the picture sits in the view that shows it: drawn aspect-fit and centred, or stretched
// over the whole view in fill mode. Sizes in the view's units (view) and pixels (picture).
struct PictureLayout {
    double viewWidth = 0;
    double viewHeight = 0;
    double pictureWidth = 0;
    double pictureHeight = 0;
    bool fill = false;
};

// The picture fractions of a view position (top-left origin); none while no picture has a size.
// The result may lie outside the picture (in the letterbox bars or beyond the view).
std::optional<PicturePoint> picturePoint(double viewX, double viewY, const PictureLayout& layout);

enum class LocalButton { left, right };

// The local keyboard's modifiers in effect after the event (for a modifier key's own event: with
// that key's change applied). Control stands for Command and Super for Control (MacKeyCodes.h).
struct LocalModifiers {
    bool shift = false;
    bool control = false;
    bool alt = false;
    bool super = false;
    bool operator==(const LocalModifiers&) const = default;
};

struct LocalKey {
    uint32_t keysym = 0;
    LocalModifiers modifiers;
    bool repeat = false; // an auto-repeated key-down
};

// Turns local pointer, wheel and keyboard events into "control" channel messages by the
// controller's sending rules, whatever toolkit delivers the events. Main thread only.
//
// Only an input target (a device that is not an iPhone and reports input ready) receives
// anything; pointer clicks and drags go to every input target, hover moves, the right button,
// scrolls and keys only to Macs. Hover moves are sent at most every 1/30 s and drags every
// 1/60 s. A press or drag outside the picture is not sent; a release outside it goes at the last
// position sent. Losing the keyboard focus tells the remote to let go of everything held.
class ControllerInputTranslator {
public:
    using Send = std::function<void(Json message)>;
    // Seconds of a monotonic clock.
    using UptimeClock = std::function<double()>;

    static constexpr double kMoveInterval = 1.0 / 30;
    static constexpr double kDragInterval = 1.0 / 60;
    static constexpr double kScrollLimit = 1000;
    static constexpr size_t kTextLimit = 4096; // UTF-16 code units per "text" message

    // Masks of "pointer" messages.
    static constexpr int kNoButton = 0;
    static constexpr int kLeftButton = 1;
    static constexpr int kRightButton = 4;

    // Actions of "key" messages.
    static constexpr int kBackAction = 0;
    static constexpr int kHomeAction = 1;
    static constexpr int kRecentTasksAction = 2;

    explicit ControllerInputTranslator(Send send, UptimeClock uptime = systemUptime);

    // The device shown; none sends nothing.
    void setTarget(std::optional<MacDevice> device) { target = std::move(device); }
    const std::optional<MacDevice>& currentTarget() const { return target; }

    // Positions are none while the view has no picture.
    void mouseMoved(std::optional<PicturePoint> position);
    void mouseDown(LocalButton button, std::optional<PicturePoint> position);
    void mouseDragged(std::optional<PicturePoint> position);
    void mouseUp(LocalButton button, std::optional<PicturePoint> position);
    // Scroll deltas in pixels; positive dy scrolls up (the content moves down), positive dx left.
    void scrolled(double dx, double dy);

    void keyDown(const LocalKey& key);
    void keyUp(const LocalKey& key);

    // Command-key combinations the view keeps for itself (Mac targets; optional):
    // Control-Command-F toggles full screen here and sends nothing.
    std::function<void()> onToggleFullScreen;
    // Command-V asks first (the session's paste hand-over): none means the paste went over as a
    // transfer and nothing is sent; a delay means the V keystroke follows after that many seconds.
    // The local key-up of that V is not sent.
    std::function<std::optional<double>()> beforePaste;
    // Runs a task on the main thread after a delay; without it the keystroke goes at once.
    std::function<void(double seconds, std::function<void()> task)> schedule;
    // The view stopped being the keyboard focus.
    void focusLost();

    // Types a UTF-8 string: characters with a key on a US keyboard as key presses, every other
    // run of characters as "text" messages. Invalid UTF-8 sequences are skipped.
    void typeText(std::string_view utf8);
    // The remote window's toolbar actions.
    void sendKeyAction(int action);
    void switchInputSource();

    // The held button mask (0, 1 or 4) and the last position sent in a "pointer" message.
    int heldMask() const { return dragging; }
    std::optional<PicturePoint> lastPointerPosition() const { return lastPointer; }

    static double systemUptime();

private:
    bool isInputTarget() const;
    bool isMacTarget() const;
    std::optional<PicturePoint> inside(std::optional<PicturePoint> position) const;
    void sendPointer(int mask, std::optional<PicturePoint> position);
    void sendModifierChange(uint16_t code, const LocalModifiers& modifiers);
    void sendKey(uint16_t code, bool down, const LocalModifiers& modifiers);
    void sendText(std::string_view utf8);
    bool handleShortcut(uint16_t code, const LocalKey& key);
    static Json keyMessage(uint16_t code, bool down, const LocalModifiers& modifiers);

    Send send;
    UptimeClock uptime;
    std::optional<MacDevice> target;
    int dragging = kNoButton;
    std::optional<double> lastMove;
    std::optional<PicturePoint> lastPointer;
    std::set<uint16_t> heldModifierKeys; // Mac codes of the modifier keys pressed here
    bool heldPasteUp = false;            // the key-up of a handled Command-V is swallowed
    std::shared_ptr<bool> alive = std::make_shared<bool>(true); // for delayed keystrokes
};

} // namespace quorlinth
