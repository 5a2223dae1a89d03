#include "platform/linux/XTestInputInjector.h"

#include "platform/linux/XTestKeyTable.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <cmath>
#include <thread>
#include <vector>

namespace quorlinth {

namespace {

template <class... Handlers> struct Overloaded : Handlers... { using Handlers::operator()...; };

constexpr unsigned kLeftButton = 1;
constexpr unsigned kRightButton = 3;
constexpr unsigned kWheelUp = 4;
constexpr unsigned kWheelDown = 5;
constexpr unsigned kWheelLeft = 6;
constexpr unsigned kWheelRight = 7;

// The code points of valid UTF-8 text; malformed bytes are skipped.
std::vector<uint32_t> codepoints(const std::string& text) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        if (length == 0 || i + length > text.size()) {
            ++i;
            continue;
        }
        uint32_t codepoint = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k)
            codepoint = (codepoint << 6) | (text[i + k] & 0x3F);
        out.push_back(codepoint);
        i += length;
    }
    return out;
}

// The keysym that types a character: Latin-1 keysyms equal their code points, every other
// character has the Unicode keysym 0x01000000 + code point.
std::optional<uint32_t> keysymForCodepoint(uint32_t codepoint) {
    if (codepoint == '\n' || codepoint == '\r') return XK_Return;
    if (codepoint == '\t') return XK_Tab;
    if (codepoint < 0x20 || (codepoint >= 0x7F && codepoint < 0xA0)) return std::nullopt;
    if (codepoint <= 0xFF) return codepoint;
    return 0x01000000 | codepoint;
}

std::optional<MainDisplayBounds> primaryOutputBounds(Display* display) {
    int eventBase = 0, errorBase = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase)) return std::nullopt;
    Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) return std::nullopt;
    RROutput primary = XRRGetOutputPrimary(display, root);
    std::optional<MainDisplayBounds> first, chosen;
    for (int i = 0; i < resources->noutput && !chosen; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (!output) continue;
        if (output->crtc && output->connection == RR_Connected) {
            if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, output->crtc)) {
                MainDisplayBounds bounds{double(crtc->x), double(crtc->y), double(crtc->width),
                                         double(crtc->height)};
                if (!first) first = bounds;
                if (resources->outputs[i] == primary) chosen = bounds;
                XRRFreeCrtcInfo(crtc);
            }
        }
        XRRFreeOutputInfo(output);
    }
    XRRFreeScreenResources(resources);
    return chosen ? chosen : first;
}

} // namespace

XTestInputInjector::XTestInputInjector(std::shared_ptr<XTestDisplay> display, Dispatcher& mainThread)
    : display(std::move(display)), mainThread(mainThread) {
    if (this->display) {
        spares = std::make_unique<XTestSpareKeycodes>(this->display->get());
        desktop = std::make_unique<XTestDesktopActions>(this->display->get());
    }
}

XTestInputInjector::~XTestInputInjector() {
    if (!trusted()) return;
    // Nothing stays pressed after the backend goes away.
    for (const auto& [code, keycode] : pressedKeys)
        pressKeycode(keycode, false);
    for (uint16_t code : heldModifierKeys) {
        if (auto keysym = keysymForMacKey(code)) {
            if (KeyCode keycode = XKeysymToKeycode(display->get(), *keysym)) pressKeycode(keycode, false);
        }
    }
    XFlush(display->get());
}

std::optional<MainDisplayBounds> XTestInputInjector::mainDisplayBounds() {
    if (!display) return std::nullopt;
    if (auto bounds = primaryOutputBounds(display->get())) return bounds;
    Display* d = display->get();
    return MainDisplayBounds{0, 0, double(DisplayWidth(d, DefaultScreen(d))),
                             double(DisplayHeight(d, DefaultScreen(d)))};
}

void XTestInputInjector::post(const InputEvent& event) {
    if (!trusted()) return;
    if (textResume.active()) {
        waitingInput.push_back(event);
        return;
    }
    inject(event);
}

void XTestInputInjector::inject(const InputEvent& event) {
    std::visit(Overloaded{
                   [this](const MouseEvent& e) { mouse(e); },
                   [this](const ScrollEvent& e) { scroll(e); },
                   [this](const KeyEvent& e) { key(e); },
                   [this](const TextEvent& e) { text(e); },
               },
               event);
    XFlush(display->get());
}

void XTestInputInjector::mouse(const MouseEvent& event) {
    Display* d = display->get();
    XTestFakeMotionEvent(d, -1, static_cast<int>(std::lround(event.point.x)),
                         static_cast<int>(std::lround(event.point.y)), CurrentTime);
    unsigned button = event.button == MouseButton::left ? kLeftButton : kRightButton;
    if (event.kind == MouseEvent::Kind::down) XTestFakeButtonEvent(d, button, True, CurrentTime);
    if (event.kind == MouseEvent::Kind::up) XTestFakeButtonEvent(d, button, False, CurrentTime);
}

void XTestInputInjector::scroll(const ScrollEvent& event) {
    // Deltas below one wheel click are kept so that slow trackpad scrolling still moves.
    auto clicks = [](int& remainder, int32_t delta) {
        remainder += delta;
        int whole = remainder / kPixelsPerWheelClick;
        remainder -= whole * kPixelsPerWheelClick;
        return whole;
    };
    auto turn = [this](int count, unsigned positive, unsigned negative) {
        unsigned button = count > 0 ? positive : negative;
        for (int i = 0; i < std::abs(count); ++i) {
            XTestFakeButtonEvent(display->get(), button, True, CurrentTime);
            XTestFakeButtonEvent(display->get(), button, False, CurrentTime);
        }
    };
    turn(clicks(verticalRemainder, event.vertical), kWheelUp, kWheelDown);
    turn(clicks(horizontalRemainder, event.horizontal), kWheelLeft, kWheelRight);
}

uint32_t XTestInputInjector::keysymFor(Modifier modifier) {
    switch (modifier) {
    case Modifier::shift:
        return XK_Shift_L;
    case Modifier::control:
        return XK_Control_L;
    case Modifier::alt:
        return XK_Alt_L;
    }
    return XK_Shift_L;
}

std::set<XTestInputInjector::Modifier> XTestInputInjector::heldModifiers() const {
    std::set<Modifier> held;
    for (uint16_t code : heldModifierKeys) {
        auto keysym = keysymForMacKey(code);
        if (!keysym) continue;
        if (*keysym == XK_Shift_L || *keysym == XK_Shift_R) held.insert(Modifier::shift);
        if (*keysym == XK_Control_L || *keysym == XK_Control_R) held.insert(Modifier::control);
        if (*keysym == XK_Alt_L || *keysym == XK_Alt_R) held.insert(Modifier::alt);
    }
    return held;
}

void XTestInputInjector::key(const KeyEvent& event) {
    auto keysym = keysymForMacKey(event.code);
    if (!keysym) return;
    if (isMacModifierKey(event.code)) {
        modifierKey(event, *keysym);
        return;
    }
    Display* d = display->get();
    KeyCode keycode = keycodeFor(event, *keysym);
    if (!keycode) return;

    // Modifiers the flags name but no held key provides are pressed around this key only.
    std::set<Modifier> wanted;
    if (event.flags & keyFlag::kShift) wanted.insert(Modifier::shift);
    if (event.flags & (keyFlag::kControl | keyFlag::kCommand)) wanted.insert(Modifier::control);
    if (event.flags & keyFlag::kOption) wanted.insert(Modifier::alt);
    std::vector<KeyCode> around;
    auto held = heldModifiers();
    for (Modifier modifier : wanted) {
        if (held.count(modifier)) continue;
        if (KeyCode code = XKeysymToKeycode(d, keysymFor(modifier))) around.push_back(code);
    }
    for (KeyCode code : around)
        pressKeycode(code, true);
    pressKeycode(keycode, event.down);
    for (auto it = around.rbegin(); it != around.rend(); ++it)
        pressKeycode(*it, false);
}

uint8_t XTestInputInjector::keycodeFor(const KeyEvent& event, uint32_t keysym) {
    if (!event.down) {
        auto pressed = pressedKeys.find(event.code);
        if (pressed == pressedKeys.end()) return XKeysymToKeycode(display->get(), keysym);
        uint8_t keycode = pressed->second; // the key that went down, even if the keymap changed since
        pressedKeys.erase(pressed);
        return keycode;
    }
    uint8_t keycode = XKeysymToKeycode(display->get(), keysym);
    if (!keycode) {
        // A key the keymap lacks (F13 and up on many keymaps) borrows a spare keycode.
        auto borrowed = spares->lend(keysym);
        if (!borrowed) return 0;
        keycode = *borrowed;
        XSync(display->get(), False);
        scheduleKeymapRestore();
    }
    pressedKeys[event.code] = keycode;
    return keycode;
}

void XTestInputInjector::modifierKey(const KeyEvent& event, uint32_t keysym) {
    // Command and Control share Control_L: the X key goes up only when neither is held.
    auto sharing = [&] {
        for (uint16_t code : heldModifierKeys) {
            if (code != event.code && keysymForMacKey(code) == keysym) return true;
        }
        return false;
    };
    bool wasHeld = heldModifierKeys.count(event.code) > 0;
    if (event.down) {
        if (wasHeld) return;
        heldModifierKeys.insert(event.code);
    } else {
        heldModifierKeys.erase(event.code);
    }
    if (sharing()) return;
    if (KeyCode keycode = XKeysymToKeycode(display->get(), keysym)) pressKeycode(keycode, event.down);
}

void XTestInputInjector::text(const TextEvent& event) {
    if (!event.down) return; // the whole string is typed with the key-down
    std::vector<uint32_t> keysyms;
    auto characters = codepoints(event.text);
    for (size_t i = 0; i < characters.size(); ++i) {
        if (characters[i] == '\r' && i + 1 < characters.size() && characters[i + 1] == '\n') continue;
        if (auto keysym = keysymForCodepoint(characters[i])) keysyms.push_back(*keysym);
    }
    textKeysyms = std::move(keysyms);
    textNext = 0;
    typeRest();
}

bool XTestInputInjector::typeRest() {
    Display* d = display->get();
    while (textNext < textKeysyms.size()) {
        size_t end = borrowAhead(textKeysyms, textNext);
        if (end == textNext) {
            if (!spares->anyLent()) { // no spare keycode at all: this character cannot be typed
                ++textNext;
                continue;
            }
            // Every spare keycode is lent: let clients read the keys already typed, then reuse
            // them; the main thread goes on meanwhile.
            XSync(d, False);
            textResume = mainThread.after(kKeycodeReusePause, [this] { resumeText(); });
            return false;
        }
        // Clients that reload their keymap lazily lose a mapping change that arrives while they
        // reload, so all changes go out before the first key that needs them.
        XSync(d, False);
        for (; textNext < end; ++textNext)
            typeKeysym(textKeysyms[textNext]);
    }
    textKeysyms.clear();
    textNext = 0;
    if (spares->anyLent()) scheduleKeymapRestore();
    return true;
}

void XTestInputInjector::resumeText() {
    if (!trusted()) return;
    spares->restoreAll();
    if (!typeRest()) return;
    while (!waitingInput.empty() && !textResume.active()) {
        InputEvent event = std::move(waitingInput.front());
        waitingInput.pop_front();
        inject(event);
    }
    XFlush(display->get());
}

size_t XTestInputInjector::borrowAhead(const std::vector<uint32_t>& keysyms, size_t from) {
    for (size_t i = from; i < keysyms.size(); ++i) {
        if (!layoutStroke(keysyms[i]) && !spares->lend(keysyms[i])) return i;
    }
    return keysyms.size();
}

std::optional<XTestInputInjector::Stroke> XTestInputInjector::layoutStroke(uint32_t keysym) {
    Display* d = display->get();
    KeyCode keycode = XKeysymToKeycode(d, keysym);
    if (!keycode) return std::nullopt;
    XkbStateRec state{};
    XkbGetState(d, XkbUseCoreKbd, &state);
    if (XkbKeycodeToKeysym(d, keycode, state.group, 0) == keysym) return Stroke{keycode, false};
    if (XkbKeycodeToKeysym(d, keycode, state.group, 1) == keysym) return Stroke{keycode, true};
    return std::nullopt;
}

void XTestInputInjector::typeKeysym(uint32_t keysym) {
    Stroke stroke{};
    if (auto onLayout = layoutStroke(keysym)) {
        stroke = *onLayout;
    } else if (auto borrowed = spares->lend(keysym)) {
        stroke = Stroke{*borrowed, false};
    } else {
        return;
    }
    KeyCode shift = stroke.shift ? XKeysymToKeycode(display->get(), XK_Shift_L) : 0;
    if (shift) pressKeycode(shift, true);
    pressKeycode(stroke.keycode, true);
    pressKeycode(stroke.keycode, false);
    if (shift) pressKeycode(shift, false);
}

void XTestInputInjector::scheduleKeymapRestore() {
    keymapRestore = mainThread.after(kKeymapRestoreDelay, [this] {
        // A held key keeps its borrowed keycode until it is released.
        for (const auto& [code, keycode] : pressedKeys) {
            if (spares->lends(keycode)) {
                scheduleKeymapRestore();
                return;
            }
        }
        spares->restoreAll();
    });
}

void XTestInputInjector::pressKeycode(uint8_t keycode, bool down) {
    XTestFakeKeyEvent(display->get(), keycode, down ? True : False, CurrentTime);
}

bool XTestInputInjector::showDesktop() {
    return trusted() && desktop->toggleShowingDesktop();
}

bool XTestInputInjector::showWindowOverview() {
    if (!trusted()) return false;
    auto chord = desktop->overviewChord();
    if (!chord) return false;
    std::vector<KeyCode> keycodes;
    for (uint32_t keysym : *chord) {
        KeyCode keycode = XKeysymToKeycode(display->get(), keysym);
        if (!keycode) return false;
        keycodes.push_back(keycode);
    }
    for (KeyCode keycode : keycodes)
        pressKeycode(keycode, true);
    for (auto it = keycodes.rbegin(); it != keycodes.rend(); ++it)
        pressKeycode(*it, false);
    XFlush(display->get());
    return true;
}

} // namespace quorlinth
