#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorlinth {

// The macOS virtual key codes the controller sends, found from the local keyboard's X keysyms.
// This is the inverse of the host's key table (keysym for each Mac key, by key position on a US
// layout), so a key sent from here arrives on a Linux host as the keysym it started as:
//
//   local key                          Mac key sent
//   letters, digits, punctuation       the key at that position on a US Mac keyboard; shifted
//                                      symbols ("exclam", "less", "underscore"...) name the key
//                                      they are typed with, the event's Shift flag does the rest
//   Control_L / Control_R              Command / Right Command (Control-C copies on the remote
//                                      Mac, and arrives as Control-C on a Linux host)
//   Super_L / Super_R                  Control / Right Control
//   Alt_L / Alt_R, Meta_*, AltGr       Option / Right Option
//   Shift_L / Shift_R                  Shift / Right Shift
//   Caps_Lock                          Caps Lock (sent as an input-source switch)
//   Insert, Help                       Help (the same position)
//   Menu                               Context menu
//   Num_Lock                           Keypad Clear (the same position)
//
// Keysyms without a key on a Mac keyboard have no code and are not sent.
namespace macKey {
inline constexpr uint16_t kF = 3;
inline constexpr uint16_t kV = 9;
inline constexpr uint16_t kEscape = 53;
inline constexpr uint16_t kRightCommand = 54;
inline constexpr uint16_t kCommand = 55;
inline constexpr uint16_t kShift = 56;
inline constexpr uint16_t kCapsLock = 57;
inline constexpr uint16_t kOption = 58;
inline constexpr uint16_t kControl = 59;
inline constexpr uint16_t kRightShift = 60;
inline constexpr uint16_t kRightOption = 61;
inline constexpr uint16_t kRightControl = 62;
inline constexpr uint16_t kFunction = 63;
} // namespace macKey

// The Mac key code for a local key's keysym; none for a key a Mac keyboard does not have.
std::optional<uint16_t> macKeyCodeForKeysym(uint32_t keysym);

// The keysym of an X keysym name the table knows ("Return", "a", "F5", "Page_Up"...).
std::optional<uint32_t> keysymForName(std::string_view name);

// The modifier that a modifier key code sets, as it appears among the key message's booleans.
enum class MacModifier { shift, control, option, command, function };
std::optional<MacModifier> macModifierOfKey(uint16_t code);

// How a printable ASCII character is typed on a US Mac keyboard; none for anything else.
struct MacTypedKey {
    uint16_t code = 0;
    bool shift = false;
    bool operator==(const MacTypedKey&) const = default;
};
std::optional<MacTypedKey> macKeyForCharacter(char32_t character);

} // namespace quorlinth
