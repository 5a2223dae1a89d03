#pragma once

#include "base/LockedBox.h"
#include "host/ControlMessage.h"
#include "platform/InputInjector.h"
#include "platform/KeyboardInputSources.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace quorlinth {

// Turns the controller's control messages into input events on this desktop. Tracks the held
// button and keys so that nothing stays pressed when a session ends or input is switched off.
// Main thread only, except inputReady().
class MacInput {
public:
    // Seconds of system uptime; injected so that click counting can be tested.
    using UptimeClock = std::function<double()>;
    // Where the few lines this component writes go. Never receives key, text or pointer content.
    using LogSink = std::function<void(const std::string&)>;

    static constexpr double kDoubleClickDistance = 5;   // points, exclusive
    static constexpr double kDoubleClickInterval = 0.5; // seconds, exclusive
    static constexpr int64_t kMaxClickCount = 2;
    static constexpr uint16_t kEscapeKey = 53;
    static constexpr uint16_t kF11Key = 103;
    static constexpr uint16_t kUpArrowKey = 126;

    MacInput(InputInjector& injector, KeyboardInputSources& sources,
             std::shared_ptr<const LockedInputFlag> inputFlag, UptimeClock uptime = systemUptime,
             LogSink log = sharedLog);

    // Decodes one control message and posts its events; nothing unless `allowInput` is on and
    // the injector is trusted.
    void handle(std::string_view bytes, bool allowInput);
    // Posts the up event of the held button, if any, at the last point.
    void releaseButton();
    // Releases the held button and every held key.
    void releaseAll();
    // Key down then key up, both with `flags`.
    void tap(uint16_t code, uint64_t flags);
    // Selects the next enabled keyboard source; its name, or none when nothing changed.
    std::optional<std::string> nextInputSource();
    // Remote input works: the injector is trusted and input is switched on. Any thread.
    bool inputReady() const;

    const std::set<uint16_t>& heldKeys() const { return keys; }
    std::optional<MouseButton> heldButton() const { return held; }
    InputPoint lastPoint() const { return point; }

    static double systemUptime();
    static void sharedLog(const std::string& line);

private:
    struct LastClick {
        double time = 0;
        InputPoint point;
        int64_t count = 0;
    };

    void apply(const ControlMessage& message);
    void pointer(const PointerMessage& message);
    void move(const MoveMessage& message);
    void scroll(const ScrollMessage& message);
    void keycode(const KeycodeMessage& message);
    void keyAction(const KeyActionMessage& message);
    void inputSource();
    void text(const TextMessage& message);
    void press(MouseButton button);
    std::optional<InputPoint> mapToDisplay(double x, double y);
    int64_t countClick();

    InputInjector& injector;
    KeyboardInputSources& sources;
    std::shared_ptr<const LockedInputFlag> inputFlag;
    UptimeClock uptime;
    LogSink log;

    std::set<uint16_t> keys;
    std::optional<MouseButton> held;
    InputPoint point;
    LastClick lastClick;
};

} // namespace quorlinth
