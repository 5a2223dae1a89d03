#include "controller/MacKeyCodes.h"

#include <array>
#include <string_view>

namespace quorlinth {

namespace {

struct KeyEntry {
    std::string_view name; // the X keysym name
    uint32_t keysym;
    uint16_t code;
};

// Keysym values are the X protocol's; names beside them as X spells them. A keysym listed twice
// (an alias such as Page_Up for Prior) maps to the same key.
constexpr KeyEntry kKeys[] = {
    // Letters, lower and upper case: the key is the same, Shift travels as a flag.
    {"a", 0x61, 0x00},
    {"s", 0x73, 0x01},
    {"d", 0x64, 0x02},
    {"f", 0x66, 0x03},
    {"h", 0x68, 0x04},
    {"g", 0x67, 0x05},
    {"z", 0x7a, 0x06},
    {"x", 0x78, 0x07},
    {"c", 0x63, 0x08},
    {"v", 0x76, 0x09},
    {"b", 0x62, 0x0B},
    {"q", 0x71, 0x0C},
    {"w", 0x77, 0x0D},
    {"e", 0x65, 0x0E},
    {"r", 0x72, 0x0F},
    {"y", 0x79, 0x10},
    {"t", 0x74, 0x11},
    {"o", 0x6f, 0x1F},
    {"u", 0x75, 0x20},
    {"i", 0x69, 0x22},
    {"p", 0x70, 0x23},
    {"l", 0x6c, 0x25},
    {"j", 0x6a, 0x26},
    {"k", 0x6b, 0x28},
    {"n", 0x6e, 0x2D},
    {"m", 0x6d, 0x2E},
    {"A", 0x41, 0x00},
    {"S", 0x53, 0x01},
    {"D", 0x44, 0x02},
    {"F", 0x46, 0x03},
    {"H", 0x48, 0x04},
    {"G", 0x47, 0x05},
    {"Z", 0x5a, 0x06},
    {"X", 0x58, 0x07},
    {"C", 0x43, 0x08},
    {"V", 0x56, 0x09},
    {"B", 0x42, 0x0B},
    {"Q", 0x51, 0x0C},
    {"W", 0x57, 0x0D},
    {"E", 0x45, 0x0E},
    {"R", 0x52, 0x0F},
    {"Y", 0x59, 0x10},
    {"T", 0x54, 0x11},
    {"O", 0x4f, 0x1F},
    {"U", 0x55, 0x20},
    {"I", 0x49, 0x22},
    {"P", 0x50, 0x23},
    {"L", 0x4c, 0x25},
    {"J", 0x4a, 0x26},
    {"K", 0x4b, 0x28},
    {"N", 0x4e, 0x2D},
    {"M", 0x4d, 0x2E},
    // Digits and punctuation, then what Shift makes of them on a US layout.
    {"1", 0x31, 0x12},
    {"2", 0x32, 0x13},
    {"3", 0x33, 0x14},
    {"4", 0x34, 0x15},
    {"6", 0x36, 0x16},
    {"5", 0x35, 0x17},
    {"equal", 0x3d, 0x18},
    {"9", 0x39, 0x19},
    {"7", 0x37, 0x1A},
    {"minus", 0x2d, 0x1B},
    {"8", 0x38, 0x1C},
    {"0", 0x30, 0x1D},
    {"bracketright", 0x5d, 0x1E},
    {"bracketleft", 0x5b, 0x21},
    {"apostrophe", 0x27, 0x27},
    {"semicolon", 0x3b, 0x29},
    {"backslash", 0x5c, 0x2A},
    {"comma", 0x2c, 0x2B},
    {"slash", 0x2f, 0x2C},
    {"period", 0x2e, 0x2F},
    {"grave", 0x60, 0x32},
    {"space", 0x20, 0x31},
    {"exclam", 0x21, 0x12},
    {"at", 0x40, 0x13},
    {"numbersign", 0x23, 0x14},
    {"dollar", 0x24, 0x15},
    {"asciicircum", 0x5e, 0x16},
    {"percent", 0x25, 0x17},
    {"plus", 0x2b, 0x18},
    {"parenleft", 0x28, 0x19},
    {"ampersand", 0x26, 0x1A},
    {"underscore", 0x5f, 0x1B},
    {"asterisk", 0x2a, 0x1C},
    {"parenright", 0x29, 0x1D},
    {"braceright", 0x7d, 0x1E},
    {"braceleft", 0x7b, 0x21},
    {"quotedbl", 0x22, 0x27},
    {"colon", 0x3a, 0x29},
    {"bar", 0x7c, 0x2A},
    {"less", 0x3c, 0x2B},
    {"question", 0x3f, 0x2C},
    {"greater", 0x3e, 0x2F},
    {"asciitilde", 0x7e, 0x32},
    // Keys of non-US layouts at the same positions.
    {"section", 0xa7, 0x0A},
    {"yen", 0xa5, 0x5D},
    {"Muhenkan", 0xff22, 0x66},
    {"Henkan_Mode", 0xff23, 0x68},
    // Editing and navigation.
    {"Return", 0xff0d, 0x24},
    {"Tab", 0xff09, 0x30},
    {"ISO_Left_Tab", 0xfe20, 0x30},
    {"BackSpace", 0xff08, 0x33},
    {"Escape", 0xff1b, 0x35},
    {"Delete", 0xffff, 0x75},
    {"Insert", 0xff63, 0x72},
    {"Help", 0xff6a, 0x72},
    {"Home", 0xff50, 0x73},
    {"End", 0xff57, 0x77},
    {"Prior", 0xff55, 0x74},
    {"Page_Up", 0xff55, 0x74},
    {"Next", 0xff56, 0x79},
    {"Page_Down", 0xff56, 0x79},
    {"Left", 0xff51, 0x7B},
    {"Right", 0xff53, 0x7C},
    {"Down", 0xff54, 0x7D},
    {"Up", 0xff52, 0x7E},
    {"Menu", 0xff67, 0x6E},
    // Modifiers (see the header for why Control is Command).
    {"Shift_L", 0xffe1, 0x38},
    {"Shift_R", 0xffe2, 0x3C},
    {"Control_L", 0xffe3, 0x37},
    {"Control_R", 0xffe4, 0x36},
    {"Caps_Lock", 0xffe5, 0x39},
    {"Meta_L", 0xffe7, 0x3A},
    {"Meta_R", 0xffe8, 0x3D},
    {"Alt_L", 0xffe9, 0x3A},
    {"Alt_R", 0xffea, 0x3D},
    {"ISO_Level3_Shift", 0xfe03, 0x3D},
    {"Super_L", 0xffeb, 0x3B},
    {"Super_R", 0xffec, 0x3E},
    // Function keys.
    {"F1", 0xffbe, 0x7A},
    {"F2", 0xffbf, 0x78},
    {"F3", 0xffc0, 0x63},
    {"F4", 0xffc1, 0x76},
    {"F5", 0xffc2, 0x60},
    {"F6", 0xffc3, 0x61},
    {"F7", 0xffc4, 0x62},
    {"F8", 0xffc5, 0x64},
    {"F9", 0xffc6, 0x65},
    {"F10", 0xffc7, 0x6D},
    {"F11", 0xffc8, 0x67},
    {"F12", 0xffc9, 0x6F},
    {"F13", 0xffca, 0x69},
    {"F14", 0xffcb, 0x6B},
    {"F15", 0xffcc, 0x71},
    {"F16", 0xffcd, 0x6A},
    {"F17", 0xffce, 0x40},
    {"F18", 0xffcf, 0x4F},
    {"F19", 0xffd0, 0x50},
    {"F20", 0xffd1, 0x5A},
    // Keypad.
    {"KP_Decimal", 0xffae, 0x41},
    {"KP_Multiply", 0xffaa, 0x43},
    {"KP_Add", 0xffab, 0x45},
    {"Num_Lock", 0xff7f, 0x47},
    {"KP_Divide", 0xffaf, 0x4B},
    {"KP_Enter", 0xff8d, 0x4C},
    {"KP_Subtract", 0xffad, 0x4E},
    {"KP_Equal", 0xffbd, 0x51},
    {"KP_Separator", 0xffac, 0x5F},
    {"KP_0", 0xffb0, 0x52},
    {"KP_1", 0xffb1, 0x53},
    {"KP_2", 0xffb2, 0x54},
    {"KP_3", 0xffb3, 0x55},
    {"KP_4", 0xffb4, 0x56},
    {"KP_5", 0xffb5, 0x57},
    {"KP_6", 0xffb6, 0x58},
    {"KP_7", 0xffb7, 0x59},
    {"KP_8", 0xffb8, 0x5B},
    {"KP_9", 0xffb9, 0x5C},
    // Media keys.
    {"XF86AudioRaiseVolume", 0x1008ff13, 0x48},
    {"XF86AudioLowerVolume", 0x1008ff11, 0x49},
    {"XF86AudioMute", 0x1008ff12, 0x4A},
};

// The printable ASCII characters typed with Shift on a US layout, besides the capitals.
constexpr std::string_view kShiftedSymbols = "~!@#$%^&*()_+{}|:\"<>?";

} // namespace

std::optional<uint16_t> macKeyCodeForKeysym(uint32_t keysym) {
    for (const KeyEntry& entry : kKeys)
        if (entry.keysym == keysym) return entry.code;
    return std::nullopt;
}

std::optional<uint32_t> keysymForName(std::string_view name) {
    for (const KeyEntry& entry : kKeys)
        if (entry.name == name) return entry.keysym;
    return std::nullopt;
}

std::optional<MacModifier> macModifierOfKey(uint16_t code) {
    switch (code) {
    case macKey::kShift:
    case macKey::kRightShift:
        return MacModifier::shift;
    case macKey::kControl:
    case macKey::kRightControl:
        return MacModifier::control;
    case macKey::kOption:
    case macKey::kRightOption:
        return MacModifier::option;
    case macKey::kCommand:
    case macKey::kRightCommand:
        return MacModifier::command;
    case macKey::kFunction:
        return MacModifier::function;
    default:
        return std::nullopt;
    }
}

std::optional<MacTypedKey> macKeyForCharacter(char32_t character) {
    if (character < 0x20 || character > 0x7e) return std::nullopt;
    // Printable ASCII keysyms equal their code points.
    auto code = macKeyCodeForKeysym(character);
    if (!code) return std::nullopt;
    bool shift = (character >= 'A' && character <= 'Z') ||
                 kShiftedSymbols.find(static_cast<char>(character)) != std::string_view::npos;
    return MacTypedKey{*code, shift};
}

} // namespace quorlinth
