#include "platform/linux/XTestKeyTable.h"

#include <X11/X.h>
#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <array>

namespace quorlinth {

namespace {

constexpr uint32_t kNone = NoSymbol;

// Indexed by macOS virtual key code; see the table in the header.
constexpr std::array<uint32_t, 128> kKeysyms = {
    // 0x00
    XK_a, XK_s, XK_d, XK_f, XK_h, XK_g, XK_z, XK_x, XK_c, XK_v, XK_less, XK_b, XK_q, XK_w, XK_e, XK_r,
    // 0x10
    XK_y, XK_t, XK_1, XK_2, XK_3, XK_4, XK_6, XK_5, XK_equal, XK_9, XK_7, XK_minus, XK_8, XK_0,
    XK_bracketright, XK_o,
    // 0x20
    XK_u, XK_bracketleft, XK_i, XK_p, XK_Return, XK_l, XK_j, XK_apostrophe, XK_k, XK_semicolon, XK_backslash,
    XK_comma, XK_slash, XK_n, XK_m, XK_period,
    // 0x30
    XK_Tab, XK_space, XK_grave, XK_BackSpace, kNone, XK_Escape, XK_Control_R, XK_Control_L, XK_Shift_L,
    XK_Caps_Lock, XK_Alt_L, XK_Control_L, XK_Shift_R, XK_Alt_R, XK_Control_R, kNone,
    // 0x40
    XK_F17, XK_KP_Decimal, kNone, XK_KP_Multiply, kNone, XK_KP_Add, kNone, XK_Num_Lock,
    XF86XK_AudioRaiseVolume, XF86XK_AudioLowerVolume, XF86XK_AudioMute, XK_KP_Divide, XK_KP_Enter, kNone,
    XK_KP_Subtract, XK_F18,
    // 0x50
    XK_F19, XK_KP_Equal, XK_KP_0, XK_KP_1, XK_KP_2, XK_KP_3, XK_KP_4, XK_KP_5, XK_KP_6, XK_KP_7, XK_F20,
    XK_KP_8, XK_KP_9, XK_yen, XK_underscore, XK_KP_Separator,
    // 0x60
    XK_F5, XK_F6, XK_F7, XK_F3, XK_F8, XK_F9, XK_Muhenkan, XK_F11, XK_Henkan_Mode, XK_F13, XK_F16, XK_F14,
    kNone, XK_F10, XK_Menu, XK_F12,
    // 0x70
    kNone, XK_F15, XK_Insert, XK_Home, XK_Prior, XK_Delete, XK_F4, XK_End, XK_F2, XK_Next, XK_F1, XK_Left,
    XK_Right, XK_Down, XK_Up, kNone};

} // namespace

std::optional<uint32_t> keysymForMacKey(uint16_t code) {
    if (code >= kKeysyms.size() || kKeysyms[code] == kNone) return std::nullopt;
    return kKeysyms[code];
}

bool isMacModifierKey(uint16_t code) {
    return code >= 0x36 && code <= 0x3E && code != 0x39;
}

} // namespace quorlinth
