#pragma once

#include <cstdint>
#include <optional>

namespace quorlinth {

// The X keysym for each macOS virtual key code (0..127), chosen by key position: the keysym a US
// layout gives the key at that position on a Mac keyboard, so the host's own layout decides
// nothing about which key is meant. Codes without a key on any Mac keyboard have no keysym.
//
//   code  Mac key          X keysym            code  Mac key          X keysym
//   0x00  A                a                   0x40  F17              F17
//   0x01  S                s                   0x41  Keypad .         KP_Decimal
//   0x02  D                d                   0x43  Keypad *         KP_Multiply
//   0x03  F                f                   0x45  Keypad +         KP_Add
//   0x04  H                h                   0x47  Keypad Clear     Num_Lock (same position)
//   0x05  G                g                   0x48  Volume Up        XF86AudioRaiseVolume
//   0x06  Z                z                   0x49  Volume Down      XF86AudioLowerVolume
//   0x07  X                x                   0x4A  Mute             XF86AudioMute
//   0x08  C                c                   0x4B  Keypad /         KP_Divide
//   0x09  V                v                   0x4C  Keypad Enter     KP_Enter
//   0x0A  ISO §            less (ISO extra key) 0x4E Keypad -         KP_Subtract
//   0x0B  B                b                   0x4F  F18              F18
//   0x0C  Q                q                   0x50  F19              F19
//   0x0D  W                w                   0x51  Keypad =         KP_Equal
//   0x0E  E                e                   0x52..0x59 Keypad 0..7 KP_0..KP_7
//   0x0F  R                r                   0x5A  F20              F20
//   0x10  Y                y                   0x5B  Keypad 8         KP_8
//   0x11  T                t                   0x5C  Keypad 9         KP_9
//   0x12..0x15 1 2 3 4     1 2 3 4             0x5D  JIS ¥            yen
//   0x16  6                6                   0x5E  JIS _            underscore
//   0x17  5                5                   0x5F  JIS keypad ,     KP_Separator
//   0x18  =                equal               0x60  F5               F5
//   0x19  9                9                   0x61  F6               F6
//   0x1A  7                7                   0x62  F7               F7
//   0x1B  -                minus               0x63  F3               F3
//   0x1C  8                8                   0x64  F8               F8
//   0x1D  0                0                   0x65  F9               F9
//   0x1E  ]                bracketright        0x66  JIS Eisu         Muhenkan (same position)
//   0x1F  O                o                   0x67  F11              F11
//   0x20  U                u                   0x68  JIS Kana         Henkan_Mode (same position)
//   0x21  [                bracketleft         0x69  F13              F13
//   0x22  I                i                   0x6A  F16              F16
//   0x23  P                p                   0x6B  F14              F14
//   0x24  Return           Return              0x6D  F10              F10
//   0x25  L                l                   0x6E  Context menu     Menu
//   0x26  J                j                   0x6F  F12              F12
//   0x27  '                apostrophe          0x71  F15              F15
//   0x28  K                k                   0x72  Help             Insert (same position)
//   0x29  ;                semicolon           0x73  Home             Home
//   0x2A  \                backslash           0x74  Page Up          Prior
//   0x2B  ,                comma               0x75  Forward Delete   Delete
//   0x2C  /                slash               0x76  F4               F4
//   0x2D  N                n                   0x77  End              End
//   0x2E  M                m                   0x78  F2               F2
//   0x2F  .                period              0x79  Page Down        Next
//   0x30  Tab              Tab                 0x7A  F1               F1
//   0x31  Space            space               0x7B  Left Arrow       Left
//   0x32  `                grave               0x7C  Right Arrow      Right
//   0x33  Delete           BackSpace           0x7D  Down Arrow       Down
//   0x35  Escape           Escape              0x7E  Up Arrow         Up
//   0x36  Right Command    Control_R
//   0x37  Command          Control_L           Modifiers follow what a Mac user expects on Linux:
//   0x38  Shift            Shift_L             Command acts as Control (Command-C copies),
//   0x39  Caps Lock        Caps_Lock           Option as Alt, Control as Control, Shift as Shift.
//   0x3A  Option           Alt_L               fn has no X counterpart and is not sent.
//   0x3B  Control          Control_L
//   0x3C  Right Shift      Shift_R             No key: 0x34, 0x3F (fn), 0x42, 0x44, 0x46, 0x4D,
//   0x3D  Right Option     Alt_R               0x6C, 0x70, 0x7F.
//   0x3E  Right Control    Control_R
std::optional<uint32_t> keysymForMacKey(uint16_t code);

// Whether the code is one of the modifier keys (Command, Shift, Option, Control, either side).
bool isMacModifierKey(uint16_t code);

} // namespace quorlinth
