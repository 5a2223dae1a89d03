#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// Xlib's Display, declared here so that users of this header do not get Xlib's macros.
struct _XDisplay;

namespace quorlinth {

// Lends keycodes that the keymap leaves empty, each temporarily mapped to one keysym, so that a
// character no key of the current layout produces can still be typed. The keymap is put back
// by restoreAll().
class XTestSpareKeycodes {
public:
    explicit XTestSpareKeycodes(_XDisplay* display) : display(display) {}
    ~XTestSpareKeycodes() { restoreAll(); }
    XTestSpareKeycodes(const XTestSpareKeycodes&) = delete;
    XTestSpareKeycodes& operator=(const XTestSpareKeycodes&) = delete;

    // A keycode that now produces `keysym`; none when every spare keycode is lent.
    std::optional<uint8_t> lend(uint32_t keysym);
    // Empties every lent keycode again.
    void restoreAll();
    bool anyLent() const { return !lent.empty(); }
    bool lends(uint8_t keycode) const;

private:
    std::vector<uint8_t> findEmptyKeycodes() const;
    void map(uint8_t keycode, uint32_t keysym);

    _XDisplay* display;
    std::map<uint32_t, uint8_t> lent; // keysym -> keycode
    std::vector<uint8_t> free;        // empty keycodes not lent yet
};

} // namespace quorlinth
