#include "controller/ControllerInputTranslator.h"

#include "controller/MacKeyCodes.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

namespace quorlinth {

namespace {

bool isFiniteSize(double width, double height) {
    return std::isfinite(width) && std::isfinite(height) && width > 0 && height > 0;
}

bool modifierSet(MacModifier modifier, const LocalModifiers& local) {
    switch (modifier) {
    case MacModifier::shift:
        return local.shift;
    case MacModifier::command:
        return local.control;
    case MacModifier::option:
        return local.alt;
    case MacModifier::control:
        return local.super;
    case MacModifier::function:
        return false; // no local key reports fn
    }
    return false;
}

void setModifier(MacModifier modifier, bool on, LocalModifiers& local) {
    switch (modifier) {
    case MacModifier::shift:
        local.shift = on;
        break;
    case MacModifier::command:
        local.control = on;
        break;
    case MacModifier::option:
        local.alt = on;
        break;
    case MacModifier::control:
        local.super = on;
        break;
    case MacModifier::function:
        break;
    }
}

// The length of the UTF-8 sequence at `at`, or 0 when it is not a valid one.
size_t sequenceLength(std::string_view text, size_t at, char32_t& decoded) {
    unsigned char lead = text[at];
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || at + length > text.size()) return 0;
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = text[at + i];
        if ((next & 0xC0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    decoded = code;
    return length;
}

} // namespace

std::optional<PicturePoint> picturePoint(double viewX, double viewY, const PictureLayout& layout) {
    if (!isFiniteSize(layout.viewWidth, layout.viewHeight) ||
        !isFiniteSize(layout.pictureWidth, layout.pictureHeight))
        return std::nullopt;
    double width = layout.viewWidth;
    double height = layout.viewHeight;
    if (!layout.fill) {
        double scale =
            std::min(layout.viewWidth / layout.pictureWidth, layout.viewHeight / layout.pictureHeight);
        width = layout.pictureWidth * scale;
        height = layout.pictureHeight * scale;
    }
    return PicturePoint{(viewX - (layout.viewWidth - width) / 2) / width,
                        (viewY - (layout.viewHeight - height) / 2) / height};
}

ControllerInputTranslator::ControllerInputTranslator(Send send, UptimeClock uptime)
    : send(std::move(send)), uptime(std::move(uptime)) {}

double ControllerInputTranslator::systemUptime() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool ControllerInputTranslator::isInputTarget() const {
    return target && target->platform != "ios" && target->capabilities.inputReady;
}

bool ControllerInputTranslator::isMacTarget() const {
    return isInputTarget() && isDesktopPlatform(target->platform);
}

std::optional<PicturePoint> ControllerInputTranslator::inside(std::optional<PicturePoint> position) const {
    if (!isInputTarget() || !position) return std::nullopt;
    auto within = [](double value) { return value >= 0 && value <= 1; }; // false for NaN
    if (!within(position->x) || !within(position->y)) return std::nullopt;
    return position;
}

void ControllerInputTranslator::sendPointer(int mask, std::optional<PicturePoint> position) {
    if (!isInputTarget()) return;
    auto at = inside(position);
    // A press or drag outside the picture is not sent; a release there goes where the last one
    // went, so the remote never keeps a button held.
    if (!at && mask == kNoButton) at = lastPointer;
    if (!at) return;
    lastPointer = at;
    send(Json{{"type", "pointer"}, {"mask", mask}, {"x", at->x}, {"y", at->y}});
}

void ControllerInputTranslator::mouseMoved(std::optional<PicturePoint> position) {
    if (!isMacTarget()) return;
    double now = uptime();
    if (lastMove && now - *lastMove <= kMoveInterval) return;
    auto at = inside(position);
    if (!at) return;
    lastMove = now;
    send(Json{{"type", "move"}, {"x", at->x}, {"y", at->y}});
}

void ControllerInputTranslator::mouseDown(LocalButton button, std::optional<PicturePoint> position) {
    if (button == LocalButton::left) {
        dragging = kLeftButton;
        sendPointer(kLeftButton, position);
        return;
    }
    if (isMacTarget()) {
        dragging = kRightButton;
        sendPointer(kRightButton, position);
    } else if (isInputTarget()) {
        sendKeyAction(kBackAction);
    }
}

void ControllerInputTranslator::mouseDragged(std::optional<PicturePoint> position) {
    // No button held here (a right button on a device that took it as "back"): nothing to drag.
    if (dragging == kNoButton) return;
    double now = uptime();
    if (lastMove && now - *lastMove <= kDragInterval) return;
    lastMove = now;
    sendPointer(dragging, position);
}

void ControllerInputTranslator::mouseUp(LocalButton button, std::optional<PicturePoint> position) {
    if (button == LocalButton::right && !isMacTarget()) return;
    dragging = kNoButton;
    sendPointer(kNoButton, position);
}

void ControllerInputTranslator::scrolled(double dx, double dy) {
    if (!isMacTarget() || !std::isfinite(dx) || !std::isfinite(dy)) return;
    send(Json{{"type", "scroll"},
              {"dx", std::clamp(dx, -kScrollLimit, kScrollLimit)},
              {"dy", std::clamp(dy, -kScrollLimit, kScrollLimit)}});
}

void ControllerInputTranslator::keyDown(const LocalKey& key) {
    if (!isMacTarget()) return;
    auto code = macKeyCodeForKeysym(key.keysym);
    if (!code) return;
    if (*code == macKey::kCapsLock) {
        // One switch per press; the Caps Lock state itself never travels.
        if (!key.repeat) switchInputSource();
        return;
    }
    if (macModifierOfKey(*code)) {
        if (key.repeat) return;
        heldModifierKeys.insert(*code);
        sendModifierChange(*code, key.modifiers);
        return;
    }
    if (handleShortcut(*code, key)) return;
    sendKey(*code, true, key.modifiers);
}

// Command is the local Control key, Control the local Super key (MacKeyCodes.h).
bool ControllerInputTranslator::handleShortcut(uint16_t code, const LocalKey& key) {
    const LocalModifiers& held = key.modifiers;
    if (!held.control) return false;
    if (code == macKey::kF && held.super && onToggleFullScreen) {
        onToggleFullScreen();
        return true;
    }
    if (code != macKey::kV || key.repeat || !beforePaste) return false;
    heldPasteUp = true;
    auto delay = beforePaste();
    if (!delay) return true; // handed over as a transfer
    LocalModifiers pressed = held;
    auto keystroke = [this, weak = std::weak_ptr<bool>(alive), pressed] {
        if (weak.expired() || !isMacTarget()) return;
        sendKey(macKey::kV, true, pressed);
        sendKey(macKey::kV, false, pressed);
    };
    if (schedule) {
        schedule(*delay, keystroke);
    } else {
        keystroke();
    }
    return true;
}

void ControllerInputTranslator::keyUp(const LocalKey& key) {
    if (!isMacTarget()) return;
    auto code = macKeyCodeForKeysym(key.keysym);
    if (!code || *code == macKey::kCapsLock) return;
    if (macModifierOfKey(*code)) {
        heldModifierKeys.erase(*code);
        sendModifierChange(*code, key.modifiers);
        return;
    }
    if (*code == macKey::kV && heldPasteUp) {
        heldPasteUp = false;
        return;
    }
    sendKey(*code, false, key.modifiers);
}

// "down" says whether the modifier is still in effect, as a Mac reports a modifier change:
// releasing the left Shift while the right one is held leaves Shift down. It is worked out from
// the keys seen here, so toolkits that report the state before the change give the same result.
void ControllerInputTranslator::sendModifierChange(uint16_t code, const LocalModifiers& modifiers) {
    MacModifier modifier = *macModifierOfKey(code);
    bool down = std::any_of(heldModifierKeys.begin(), heldModifierKeys.end(),
                            [&](uint16_t held) { return macModifierOfKey(held) == modifier; });
    LocalModifiers now = modifiers;
    setModifier(modifier, down, now);
    Json message = keyMessage(code, down, now);
    message["fn"] = modifier == MacModifier::function && down;
    send(std::move(message));
}

Json ControllerInputTranslator::keyMessage(uint16_t code, bool down, const LocalModifiers& modifiers) {
    return Json{{"type", "keycode"},
                {"code", code},
                {"down", down},
                {"shift", modifierSet(MacModifier::shift, modifiers)},
                {"control", modifierSet(MacModifier::control, modifiers)},
                {"option", modifierSet(MacModifier::option, modifiers)},
                {"command", modifierSet(MacModifier::command, modifiers)}};
}

void ControllerInputTranslator::sendKey(uint16_t code, bool down, const LocalModifiers& modifiers) {
    send(keyMessage(code, down, modifiers));
}

void ControllerInputTranslator::focusLost() {
    // The remote lets go of every key and button; so does this side's bookkeeping.
    heldModifierKeys.clear();
    if (!isMacTarget()) return;
    dragging = kNoButton;
    send(Json{{"type", "release"}});
}

void ControllerInputTranslator::typeText(std::string_view utf8) {
    if (!isMacTarget()) return;
    std::string run; // characters without a key, sent together as text
    for (size_t at = 0; at < utf8.size();) {
        char32_t character = 0;
        size_t length = sequenceLength(utf8, at, character);
        if (length == 0) {
            ++at;
            continue;
        }
        if (auto key = macKeyForCharacter(character)) {
            sendText(run);
            run.clear();
            LocalModifiers shifted;
            shifted.shift = key->shift;
            sendKey(key->code, true, shifted);
            sendKey(key->code, false, shifted);
        } else {
            run.append(utf8.substr(at, length));
        }
        at += length;
    }
    sendText(run);
}

// Splits at character boundaries so that no message exceeds the host's limit.
void ControllerInputTranslator::sendText(std::string_view utf8) {
    std::string chunk;
    size_t units = 0;
    for (size_t at = 0; at < utf8.size();) {
        char32_t character = 0;
        size_t length = sequenceLength(utf8, at, character);
        size_t characterUnits = character >= 0x10000 ? 2 : 1;
        if (units + characterUnits > kTextLimit) {
            send(Json{{"type", "text"}, {"text", chunk}});
            chunk.clear();
            units = 0;
        }
        chunk.append(utf8.substr(at, length));
        units += characterUnits;
        at += length;
    }
    if (!chunk.empty()) send(Json{{"type", "text"}, {"text", chunk}});
}

void ControllerInputTranslator::sendKeyAction(int action) {
    if (!isInputTarget() || action < kBackAction || action > kRecentTasksAction) return;
    send(Json{{"type", "key"}, {"action", action}});
}

void ControllerInputTranslator::switchInputSource() {
    if (!isMacTarget()) return;
    send(Json{{"type", "input_source"}});
}

} // namespace quorlinth
