#include "host/ControlMessage.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace quorlinth;

namespace {

std::string repeat(const std::string& piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

std::string textMessage(const std::string& text) {
    return R"({"type":"text","text":")" + text + R"("})";
}

} // namespace

TEST(ControlMessage, AcceptsOrDropsByTheReadingRules) {
    struct Case {
        const char* name;
        std::string json;
        bool accepted;
    };
    const Case cases[] = {
        {"pointer mask 0", R"({"type":"pointer","x":0.5,"y":0.5,"mask":0})", true},
        {"pointer mask 1", R"({"type":"pointer","x":0,"y":1,"mask":1})", true},
        {"pointer mask 4", R"({"type":"pointer","x":1,"y":0,"mask":4})", true},
        {"pointer mask as whole float", R"({"type":"pointer","x":1,"y":0,"mask":1.0})", true},
        {"pointer mask 2 (middle button)", R"({"type":"pointer","x":0.5,"y":0.5,"mask":2})", false},
        {"pointer without mask", R"({"type":"pointer","x":0.5,"y":0.5})", false},
        {"pointer mask as text", R"({"type":"pointer","x":0.5,"y":0.5,"mask":"1"})", false},
        {"pointer x as text", R"({"type":"pointer","x":"0.5","y":0.5,"mask":1})", false},
        {"pointer x above 1", R"({"type":"pointer","x":1.0001,"y":0.5,"mask":1})", false},
        {"pointer y below 0", R"({"type":"pointer","x":0.5,"y":-0.0001,"mask":1})", false},
        {"move", R"({"type":"move","x":0.25,"y":0.75})", true},
        {"move without y", R"({"type":"move","x":0.25})", false},
        {"move y above 1", R"({"type":"move","x":0.25,"y":2})", false},
        {"scroll 1000.0", R"({"type":"scroll","dx":1000.0,"dy":-1000})", true},
        {"scroll dx 1000.5", R"({"type":"scroll","dx":1000.5,"dy":0})", false},
        {"scroll dy -1000.5", R"({"type":"scroll","dx":0,"dy":-1000.5})", false},
        {"scroll without dx", R"({"type":"scroll","dy":3})", false},
        {"scroll dy as text", R"({"type":"scroll","dx":0,"dy":"3"})", false},
        {"keycode 0", R"({"type":"keycode","code":0,"down":true})", true},
        {"keycode 127", R"({"type":"keycode","code":127,"down":false})", true},
        {"keycode 128", R"({"type":"keycode","code":128,"down":true})", false},
        {"keycode -1", R"({"type":"keycode","code":-1,"down":true})", false},
        {"keycode fractional", R"({"type":"keycode","code":1.5,"down":true})", false},
        {"keycode without down", R"({"type":"keycode","code":4})", false},
        {"keycode down as number", R"({"type":"keycode","code":4,"down":1})", false},
        {"key action 0", R"({"type":"key","action":0})", true},
        {"key action 2", R"({"type":"key","action":2})", true},
        {"key action 3", R"({"type":"key","action":3})", false},
        {"key action -1", R"({"type":"key","action":-1})", false},
        {"key without action", R"({"type":"key"})", false},
        {"input_source", R"({"type":"input_source"})", true},
        {"release", R"({"type":"release"})", true},
        {"text", textMessage("中文"), true},
        {"empty text", textMessage(""), false},
        {"text as number", R"({"type":"text","text":5})", false},
        {"4096 units", textMessage(repeat("a", 4096)), true},
        {"4097 units", textMessage(repeat("a", 4097)), false},
        {"2048 surrogate pairs", textMessage(repeat("😀", 2048)), true},
        {"2048 surrogate pairs and one more unit", textMessage(repeat("😀", 2048) + "a"), false},
        {"4096 BMP characters of three bytes", textMessage(repeat("中", 4096)), true},
        {"viewport is not the injector's", R"({"type":"viewport","width":1280,"height":720,"scale":1})",
         false},
        {"unknown type", R"({"type":"wiggle"})", false},
        {"type as number", R"({"type":7})", false},
        {"no type", R"({"x":0.5})", false},
        {"array", R"([{"type":"release"}])", false},
        {"not JSON", "release", false},
        {"invalid UTF-8", "{\"type\":\"text\",\"text\":\"\xff\"}", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto parsed = parseControlMessage(c.json);
        EXPECT_EQ(parsed.ok(), c.accepted);
    }
}

TEST(ControlMessage, HonoursTheSizeLimitExactly) {
    const std::string body = R"({"type":"release"})";
    std::string atLimit = body + std::string(kControlMessageLimit - body.size(), ' ');
    ASSERT_EQ(atLimit.size(), 16384u);
    EXPECT_TRUE(parseControlMessage(atLimit).ok());

    std::string overLimit = atLimit + " ";
    auto parsed = parseControlMessage(overLimit);
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().find("16384"), std::string::npos);
}

TEST(ControlMessage, ReadsFieldsAndDefaults) {
    auto pointer = parseControlMessage(R"({"type":"pointer","x":0.25,"y":1,"mask":4})");
    ASSERT_TRUE(pointer.ok());
    const auto& p = std::get<PointerMessage>(pointer.value());
    EXPECT_EQ(p.x, 0.25);
    EXPECT_EQ(p.y, 1);
    EXPECT_EQ(p.mask, PointerMask::right);

    auto key = parseControlMessage(R"({"type":"keycode","code":8,"down":true,"command":true,"shift":"yes"})");
    ASSERT_TRUE(key.ok());
    const auto& k = std::get<KeycodeMessage>(key.value());
    EXPECT_EQ(k.code, 8);
    EXPECT_TRUE(k.down);
    EXPECT_TRUE(k.command);
    EXPECT_FALSE(k.shift) << "a wrongly typed modifier counts as absent";
    EXPECT_FALSE(k.control);
    EXPECT_FALSE(k.option);
    EXPECT_FALSE(k.fn);
}

TEST(ControlMessage, SumsModifierFlags) {
    struct Case {
        KeycodeMessage key;
        uint64_t flags;
    };
    const Case cases[] = {
        {{0, true}, 0},
        {{56, true, true}, 0x20000},
        {{0, true, false, true}, 0x40000},
        {{0, true, false, false, true}, 0x80000},
        {{0, true, false, false, false, true}, 0x100000},
        {{63, true, false, false, false, false, true}, 0x800000},
        {{0, true, true, true, true, true, true}, 0x9E0000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(c.key.flags(), c.flags);
    }
}

TEST(ControlMessage, CountsUtf16Units) {
    EXPECT_EQ(utf16Length(""), 0u);
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("é"), 1u);
    EXPECT_EQ(utf16Length("中文"), 2u);
    EXPECT_EQ(utf16Length("😀"), 2u);
}

TEST(ControlMessage, ErrorsNeverCarryContent) {
    const std::string secret = "hunter2-secret";
    for (const std::string& json :
         std::vector<std::string>{R"({"type":"text","text":""})", R"({"type":")" + secret + R"("})",
                                  R"({"type":"keycode","code":")" + secret + R"("})"}) {
        auto parsed = parseControlMessage(json);
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error().find(secret), std::string::npos);
    }
}
