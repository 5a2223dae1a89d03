#include "DisplayText.h"

#include <gtest/gtest.h>

namespace quorlinth::service {
namespace {

TEST(DisplayText, NamesLoseHiddenAndReorderingCharacters) {
    struct Case {
        const char* name;
        std::string in, out;
    } cases[] = {
        {"plain", "书房的 Mac", "书房的 Mac"},
        {"right-to-left override", "Mac\u202Egpj.exe", "Macgpj.exe"},
        {"isolates and marks", "\u2066a\u2069\u200Fb\u200E", "ab"},
        {"zero width", "A\u200B\u200C\u200DB\uFEFF", "AB"},
        {"line breaks and controls", "a\nb\r\tc\x7F\u0085d\u2028e\u2029", "abcde"},
        {"tag characters", "x\U000E0041\U000E007Fy", "xy"},
        {"surrounding spaces", "  Mac  ", "Mac"},
        {"nothing left", "\u202E\u200B ", ""},
        {"emoji stays", "Mac 💻", "Mac 💻"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.out, displayableName(c.in));
        EXPECT_EQ(c.in == c.out, isDisplayable(c.in) && c.in.front() != ' ');
    }
    EXPECT_FALSE(isDisplayable("bad\xff utf8"));
}

} // namespace
} // namespace quorlinth::service
