#include "platform/linux/XTestSpareKeycodes.h"

#include <X11/Xlib.h>

namespace quorlinth {

std::optional<uint8_t> XTestSpareKeycodes::lend(uint32_t keysym) {
    if (auto found = lent.find(keysym); found != lent.end()) return found->second;
    // The keymap may have changed since the last loan, so look again once everything is back.
    if (lent.empty()) free = findEmptyKeycodes();
    if (free.empty()) return std::nullopt;
    uint8_t keycode = free.back();
    free.pop_back();
    map(keycode, keysym);
    lent[keysym] = keycode;
    return keycode;
}

void XTestSpareKeycodes::restoreAll() {
    if (lent.empty()) return;
    for (const auto& [keysym, keycode] : lent) {
        map(keycode, NoSymbol);
        free.push_back(keycode);
    }
    lent.clear();
    XSync(display, False);
}

bool XTestSpareKeycodes::lends(uint8_t keycode) const {
    for (const auto& [keysym, lentKeycode] : lent) {
        if (lentKeycode == keycode) return true;
    }
    return false;
}

std::vector<uint8_t> XTestSpareKeycodes::findEmptyKeycodes() const {
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    KeySym* keysyms = XGetKeyboardMapping(display, minKeycode, maxKeycode - minKeycode + 1, &perKeycode);
    std::vector<uint8_t> empty;
    if (!keysyms) return empty;
    for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
        const KeySym* row = keysyms + (keycode - minKeycode) * perKeycode;
        bool unused = true;
        for (int column = 0; column < perKeycode; ++column)
            unused = unused && row[column] == NoSymbol;
        if (unused) empty.push_back(static_cast<uint8_t>(keycode));
    }
    XFree(keysyms);
    return empty;
}

void XTestSpareKeycodes::map(uint8_t keycode, uint32_t keysym) {
    // Both levels carry the keysym so that a held Shift does not change the character.
    KeySym row[2] = {keysym, keysym};
    XChangeKeyboardMapping(display, keycode, 2, row, 1);
}

} // namespace quorlinth
