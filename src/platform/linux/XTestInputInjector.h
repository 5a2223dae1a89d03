#pragma once

#include "base/Scheduler.h"
#include "platform/InputInjector.h"
#include "platform/linux/XTestDesktopActions.h"
#include "platform/linux/XTestDisplay.h"
#include "platform/linux/XTestSpareKeycodes.h"

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace quorlinth {

// Posts input into an X display through the XTest extension. The wire's macOS key codes become
// keysyms by key position (XTestKeyTable.h); Command acts as Control. Pixel scrolling becomes
// wheel clicks: button 4 up, 5 down, 6 left, 7 right. Text is typed character by character,
// borrowing spare keycodes for characters the layout lacks. Main thread only, except trusted().
class XTestInputInjector : public InputInjector {
public:
    // One X wheel click scrolls about three lines in common toolkits, roughly this many pixels.
    static constexpr int kPixelsPerWheelClick = 40;
    // How long borrowed keycodes keep their characters after typing, so that clients that
    // read the keymap lazily still see them.
    static constexpr Millis kKeymapRestoreDelay{1000};
    // Before a borrowed keycode is reused within one text, clients get this long to catch up.
    // The pause is a timer on the main thread; input arriving meanwhile waits behind the text.
    static constexpr Millis kKeycodeReusePause{50};

    // `display` may be null (no display: not trusted, nothing posted). `mainThread` runs the
    // deferred keymap restore.
    XTestInputInjector(std::shared_ptr<XTestDisplay> display, Dispatcher& mainThread);
    ~XTestInputInjector() override;

    bool trusted() const override { return display && display->hasXTest(); }
    bool requestTrust() override { return trusted(); }
    std::optional<MainDisplayBounds> mainDisplayBounds() override;
    void post(const InputEvent& event) override;
    bool showDesktop() override;
    bool showWindowOverview() override;

private:
    enum class Modifier { shift, control, alt };
    struct Stroke {
        uint8_t keycode = 0;
        bool shift = false;
    };

    void inject(const InputEvent& event);
    void mouse(const MouseEvent& event);
    void scroll(const ScrollEvent& event);
    void key(const KeyEvent& event);
    // The X keycode for a key event: the one that went down for a release.
    uint8_t keycodeFor(const KeyEvent& event, uint32_t keysym);
    void modifierKey(const KeyEvent& event, uint32_t keysym);
    void text(const TextEvent& event);
    // Types the rest of the text being typed; false when it paused for keycodes to be reused.
    bool typeRest();
    void resumeText();
    // Lends spare keycodes to the characters from `from` on; the end of those that can be typed.
    size_t borrowAhead(const std::vector<uint32_t>& keysyms, size_t from);
    // The key of the active layout that types `keysym`, directly or with Shift.
    std::optional<Stroke> layoutStroke(uint32_t keysym);
    void typeKeysym(uint32_t keysym);
    void pressKeycode(uint8_t keycode, bool down);
    std::set<Modifier> heldModifiers() const;
    static uint32_t keysymFor(Modifier modifier);
    void scheduleKeymapRestore();

    std::shared_ptr<XTestDisplay> display;
    Dispatcher& mainThread;
    std::unique_ptr<XTestSpareKeycodes> spares;
    std::unique_ptr<XTestDesktopActions> desktop;

    std::map<uint16_t, uint8_t> pressedKeys; // macOS code -> X keycode pressed for it
    std::set<uint16_t> heldModifierKeys;     // macOS modifier codes currently down
    int verticalRemainder = 0;               // pixels not yet turned into wheel clicks
    int horizontalRemainder = 0;
    Timer keymapRestore;
    std::vector<uint32_t> textKeysyms; // the text being typed, while it pauses
    size_t textNext = 0;
    Timer textResume;
    std::deque<InputEvent> waitingInput; // events that arrived during a pause, in order
};

} // namespace quorlinth
