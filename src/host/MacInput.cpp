#include "host/MacInput.h"

#include "log/MacLog.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace quorlinth {

namespace {

template <class... Handlers> struct Overloaded : Handlers... { using Handlers::operator()...; };

} // namespace

MacInput::MacInput(InputInjector& injector, KeyboardInputSources& sources,
                   std::shared_ptr<const LockedInputFlag> inputFlag, UptimeClock uptime, LogSink log)
    : injector(injector), sources(sources), inputFlag(std::move(inputFlag)), uptime(std::move(uptime)),
      log(std::move(log)) {}

double MacInput::systemUptime() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void MacInput::sharedLog(const std::string& line) {
    MacLog::shared().log(line);
}

void MacInput::handle(std::string_view bytes, bool allowInput) {
    if (!allowInput || !injector.trusted()) return;
    auto message = parseControlMessage(bytes);
    if (!message) return; // malformed input is dropped without a reply
    apply(message.value());
}

void MacInput::apply(const ControlMessage& message) {
    std::visit(Overloaded{
                   [this](const PointerMessage& m) { pointer(m); },
                   [this](const MoveMessage& m) { move(m); },
                   [this](const ScrollMessage& m) { scroll(m); },
                   [this](const KeycodeMessage& m) { keycode(m); },
                   [this](const KeyActionMessage& m) { keyAction(m); },
                   [this](const InputSourceMessage&) { inputSource(); },
                   [this](const TextMessage& m) { text(m); },
                   [this](const ReleaseMessage&) { releaseAll(); },
               },
               message);
}

// x and y were checked to lie within 0..1 when the message was read.
std::optional<InputPoint> MacInput::mapToDisplay(double x, double y) {
    auto bounds = injector.mainDisplayBounds();
    if (!bounds || !(bounds->width > 0) || !(bounds->height > 0)) return std::nullopt;
    // (1, 1) is the last pixel, not one past it.
    return InputPoint{bounds->x + x * std::max(bounds->width - 1, 0.0),
                      bounds->y + y * std::max(bounds->height - 1, 0.0)};
}

void MacInput::pointer(const PointerMessage& message) {
    auto mapped = mapToDisplay(message.x, message.y);
    if (!mapped) return;
    point = *mapped;
    if (message.mask == PointerMask::none) {
        releaseButton();
        return;
    }
    MouseButton button = message.mask == PointerMask::left ? MouseButton::left : MouseButton::right;
    if (held == button) {
        injector.post(MouseEvent{MouseEvent::Kind::dragged, button, point, lastClick.count});
        return;
    }
    releaseButton();
    press(button);
}

void MacInput::press(MouseButton button) {
    held = button;
    int64_t count = countClick();
    injector.post(MouseEvent{MouseEvent::Kind::down, button, point, count});
}

int64_t MacInput::countClick() {
    double now = uptime();
    double distance = std::hypot(point.x - lastClick.point.x, point.y - lastClick.point.y);
    bool repeated = distance < kDoubleClickDistance && now - lastClick.time < kDoubleClickInterval;
    int64_t count = repeated ? std::min(lastClick.count + 1, kMaxClickCount) : 1;
    lastClick = LastClick{now, point, count};
    return count;
}

void MacInput::move(const MoveMessage& message) {
    auto mapped = mapToDisplay(message.x, message.y);
    if (!mapped) return;
    point = *mapped;
    injector.post(MouseEvent{MouseEvent::Kind::moved, MouseButton::left, point, 0});
}

void MacInput::scroll(const ScrollMessage& message) {
    // The reading rules bound both deltas to ±1000, so truncation always fits.
    injector.post(ScrollEvent{static_cast<int32_t>(message.dy), static_cast<int32_t>(message.dx)});
}

void MacInput::keycode(const KeycodeMessage& message) {
    if (message.down) {
        keys.insert(message.code);
    } else {
        keys.erase(message.code);
    }
    injector.post(KeyEvent{message.code, message.down, message.flags()});
}

void MacInput::keyAction(const KeyActionMessage& message) {
    switch (message.action) {
    case KeyAction::back:
        tap(kEscapeKey, 0);
        break;
    case KeyAction::home:
        if (!injector.showDesktop()) tap(kF11Key, 0);
        break;
    case KeyAction::recentTasks:
        if (!injector.showWindowOverview()) tap(kUpArrowKey, keyFlag::kControl);
        break;
    }
}

void MacInput::inputSource() {
    if (auto name = nextInputSource()) log("输入法 → " + *name);
}

void MacInput::text(const TextMessage& message) {
    injector.post(TextEvent{message.text, true});
    injector.post(TextEvent{message.text, false});
}

void MacInput::releaseButton() {
    if (!held) return;
    MouseButton button = *held;
    held.reset();
    injector.post(MouseEvent{MouseEvent::Kind::up, button, point, lastClick.count});
}

void MacInput::releaseAll() {
    releaseButton();
    std::set<uint16_t> pressed;
    pressed.swap(keys);
    for (uint16_t code : pressed)
        injector.post(KeyEvent{code, false, 0});
}

void MacInput::tap(uint16_t code, uint64_t flags) {
    injector.post(KeyEvent{code, true, flags});
    injector.post(KeyEvent{code, false, flags});
}

std::optional<std::string> MacInput::nextInputSource() {
    auto list = sources.enabledSources();
    if (list.size() < 2) return std::nullopt;
    auto current = sources.currentSourceID();
    auto found = std::find_if(list.begin(), list.end(), [&](const KeyboardInputSource& source) {
        return current && source.id == *current;
    });
    size_t next = found == list.end() ? 0 : (static_cast<size_t>(found - list.begin()) + 1) % list.size();
    if (!sources.select(list[next].id)) return std::nullopt;
    return list[next].localizedName;
}

bool MacInput::inputReady() const {
    return injector.trusted() && inputFlag && inputFlag->get();
}

} // namespace quorlinth
