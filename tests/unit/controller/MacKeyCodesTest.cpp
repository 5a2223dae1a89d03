#include "controller/MacKeyCodes.h"

#include "platform/linux/XTestKeyTable.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
// Last: Xlib's macros clash with GoogleTest's names.
#include <X11/Xlib.h>

using namespace quorlinth;

namespace {

uint32_t sym(const char* name) {
    return static_cast<uint32_t>(XStringToKeysym(name));
}

// Every name this side accepts is the X name of the keysym it stands for.
TEST(MacKeyCodes, NamesAreXKeysymNames) {
    const char* names[] = {
        "a",          "Z",        "5",     "exclam",    "bracketleft",   "Return",           "BackSpace",
        "Delete",     "Page_Up",  "Prior", "Control_L", "Super_R",       "ISO_Level3_Shift", "F1",
        "F20",        "KP_Enter", "KP_9",  "Num_Lock",  "XF86AudioMute", "section",          "yen",
        "Henkan_Mode"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        auto keysym = keysymForName(name);
        ASSERT_TRUE(keysym.has_value());
        EXPECT_EQ(*keysym, sym(name));
    }
    EXPECT_FALSE(keysymForName("NoSuchKey"));
    EXPECT_FALSE(keysymForName(""));
}

// What the host turns a Mac key code into comes back to that code here, so a key travels
// from a Linux controller to a Linux host unchanged. The exceptions are deliberate: where two
// Mac keys share a host keysym, or a US keyboard types the keysym with Shift on another key.
TEST(MacKeyCodes, InvertTheHostTable) {
    const std::set<uint16_t> deliberate = {
        0x0A, // ISO §: the host sends "less", which a US keyboard types as Shift-comma
        0x5E, // JIS underscore: typed as Shift-minus
        0x3B, // Control: the host sends Control_L, which is Command here
        0x3E, // Right Control: likewise Control_R
    };
    int checked = 0;
    for (uint16_t code = 0; code < 128; ++code) {
        auto keysym = keysymForMacKey(code);
        if (!keysym || deliberate.count(code)) continue;
        SCOPED_TRACE(testing::Message() << "Mac key 0x" << std::hex << code);
        EXPECT_EQ(macKeyCodeForKeysym(*keysym), code);
        ++checked;
    }
    EXPECT_GT(checked, 100);
    struct Case {
        uint32_t keysym;
        uint16_t code;
    };
    const Case shared[] = {
        {sym("less"), 0x2B},      {sym("underscore"), 0x1B}, {sym("Control_L"), 0x37},
        {sym("Control_R"), 0x36}, {sym("Super_L"), 0x3B},    {sym("Super_R"), 0x3E},
        {sym("Alt_L"), 0x3A},     {sym("Meta_L"), 0x3A},     {sym("ISO_Level3_Shift"), 0x3D},
        {sym("Help"), 0x72}};
    for (const auto& c : shared) {
        SCOPED_TRACE(XKeysymToString(c.keysym));
        EXPECT_EQ(macKeyCodeForKeysym(c.keysym), c.code);
    }
}

TEST(MacKeyCodes, TypesEveryPrintableAsciiCharacterOnAUsLayout) {
    // The host presses the keysym of the code, with Shift when asked: that must give the character.
    const std::string shiftedFrom = "~!@#$%^&*()_+{}|:\"<>?";
    const std::string unshifted = "`1234567890-=[]\\;',./";
    for (char32_t c = 0x20; c <= 0x7e; ++c) {
        SCOPED_TRACE(testing::Message() << "'" << static_cast<char>(c) << "'");
        auto key = macKeyForCharacter(c);
        ASSERT_TRUE(key.has_value());
        auto keysym = keysymForMacKey(key->code);
        ASSERT_TRUE(keysym.has_value());
        char32_t base = c;
        if (c >= 'A' && c <= 'Z') base = c - 'A' + 'a';
        if (auto at = shiftedFrom.find(static_cast<char>(c)); at != std::string::npos) base = unshifted[at];
        EXPECT_EQ(*keysym, base);
        EXPECT_EQ(key->shift, base != c);
    }
    EXPECT_FALSE(macKeyForCharacter(U'世'));
    EXPECT_FALSE(macKeyForCharacter(U'\n'));
    EXPECT_FALSE(macKeyForCharacter(U'é'));
}

TEST(MacKeyCodes, ModifierOfEachModifierKey) {
    struct Case {
        uint16_t code;
        std::optional<MacModifier> modifier;
    };
    const Case cases[] = {{54, MacModifier::command}, {55, MacModifier::command}, {56, MacModifier::shift},
                          {60, MacModifier::shift},   {58, MacModifier::option},  {61, MacModifier::option},
                          {59, MacModifier::control}, {62, MacModifier::control}, {63, MacModifier::function},
                          {57, std::nullopt},         {0, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(macModifierOfKey(c.code), c.modifier);
    }
}

} // namespace
