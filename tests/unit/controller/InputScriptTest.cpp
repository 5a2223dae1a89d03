#include "controller/InputScript.h"

#include "base/MainQueue.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace quorlinth;
using namespace std::chrono_literals;

namespace {

TEST(InputScript, ReadsEveryCommand) {
    auto script = InputScript::parse("# a comment\n"
                                     "\n"
                                     "move 0.5 0.25\r\n"
                                     "  click\n"
                                     "click right   # with a comment\n"
                                     "drag 0.1 0.2 1.5 -0.5\n"
                                     "scroll -3 120.5\n"
                                     "type Hello, 世界 # not a comment  \n"
                                     "key Return\n"
                                     "key c ctrl shift alt super\n"
                                     "wait 250");
    ASSERT_TRUE(script) << script.error();
    const auto& steps = script.value().steps;
    ASSERT_EQ(steps.size(), 9u);
    EXPECT_EQ(steps[0].line, 3);
    EXPECT_EQ(std::get<InputScript::Move>(steps[0].action).to, (PicturePoint{0.5, 0.25}));
    EXPECT_EQ(std::get<InputScript::Click>(steps[1].action).button, LocalButton::left);
    EXPECT_EQ(std::get<InputScript::Click>(steps[2].action).button, LocalButton::right);
    auto drag = std::get<InputScript::Drag>(steps[3].action);
    EXPECT_EQ(drag.from, (PicturePoint{0.1, 0.2}));
    EXPECT_EQ(drag.to, (PicturePoint{1.5, -0.5})) << "points outside the picture are allowed";
    auto scroll = std::get<InputScript::Scroll>(steps[4].action);
    EXPECT_EQ(scroll.dx, -3);
    EXPECT_EQ(scroll.dy, 120.5);
    EXPECT_EQ(std::get<InputScript::Type>(steps[5].action).text, "Hello, 世界 # not a comment  ");
    EXPECT_EQ(std::get<InputScript::Key>(steps[6].action).keysym, 0xff0du);
    auto key = std::get<InputScript::Key>(steps[7].action);
    EXPECT_EQ(key.keysym, 0x63u);
    EXPECT_EQ(key.modifiers, (LocalModifiers{true, true, true, true}));
    EXPECT_EQ(std::get<InputScript::Wait>(steps[8].action).milliseconds, 250);
    EXPECT_EQ(steps[8].line, 11);
}

TEST(InputScript, NamesTheFirstMalformedLine) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"move 0.5\n", "输入脚本第 1 行：应写作 move X Y"},
        {"move 0.5 0.5\nmove 0.5 abc\n", "输入脚本第 2 行：“abc” 不是数字，应写作 move X Y"},
        {"move 0.5 nan\n", "输入脚本第 1 行：“nan” 不是数字，应写作 move X Y"},
        {"move 0.5 0.5 0.5\n", "输入脚本第 1 行：应写作 move X Y"},
        {"# first\nclick\n", "输入脚本第 2 行：click 之前需要先用 move 或 drag 指定位置"},
        {"move 0 0\nclick middle\n", "输入脚本第 2 行：应写作 click [left|right]"},
        {"drag 0 0 1\n", "输入脚本第 1 行：应写作 drag X1 Y1 X2 Y2"},
        {"scroll 1\n", "输入脚本第 1 行：应写作 scroll DX DY"},
        {"type\n", "输入脚本第 1 行：type 后面需要要输入的文字"},
        {"type   \n", "输入脚本第 1 行：type 后面需要要输入的文字"},
        {"key\n", "输入脚本第 1 行：应写作 key 按键名 [ctrl|shift|alt|super...]"},
        {"key Enter\n", "输入脚本第 1 行：未知的按键名 “Enter”（请用 X keysym 名称，例如 Return、a、F5）"},
        {"key a meta\n", "输入脚本第 1 行：未知的修饰键 “meta”（可用 ctrl、shift、alt、super）"},
        {"wait -1\n", "输入脚本第 1 行：应写作 wait 毫秒数（0 到 600000 的整数）"},
        {"wait 600001\n", "输入脚本第 1 行：应写作 wait 毫秒数（0 到 600000 的整数）"},
        {"wait 1.5\n", "输入脚本第 1 行：应写作 wait 毫秒数（0 到 600000 的整数）"},
        {"\n\njump 1 2\n",
         "输入脚本第 3 行：未知的命令 “jump”（可用 move、click、drag、scroll、type、key、wait）"},
        {"Move 1 2\n",
         "输入脚本第 1 行：未知的命令 “Move”（可用 move、click、drag、scroll、type、key、wait）"},
        {"type \xff\n", "输入脚本第 1 行：不是有效的 UTF-8 文本"},
        {"x\x1b[2J" + std::string(60, 'y') + "\n",
         "输入脚本第 1 行：未知的命令 “x[2J" + std::string(28, 'y') +
             "”（可用 move、click、drag、scroll、type、key、wait）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto script = InputScript::parse(c.text);
        ASSERT_FALSE(script);
        EXPECT_EQ(script.error(), c.error);
    }
}

TEST(InputScript, ReadsAFileAndRefusesWhatItCannotRead) {
    auto folder = std::filesystem::temp_directory_path() / ("quorlinth-script-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    {
        std::ofstream(folder / "ok.txt") << "move 0.5 0.5\nclick\n";
        std::ofstream big(folder / "big.txt");
        big << std::string(InputScript::kMaxBytes + 1, '#');
    }
    auto ok = InputScript::read(folder / "ok.txt");
    ASSERT_TRUE(ok) << ok.error();
    EXPECT_EQ(ok.value().steps.size(), 2u);
    auto big = InputScript::read(folder / "big.txt");
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error(), "输入脚本超过 1 MB，请拆分后再试");
    auto missing = InputScript::read(folder / "missing.txt");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("无法读取输入脚本"), std::string::npos);
    std::filesystem::remove_all(folder);
}

MacDevice mac() {
    MacDevice target;
    target.platform = "macos";
    target.capabilities = {true, true, true};
    return target;
}

// The player spaces events so that the translator's throttles never drop one.
TEST(InputScriptPlayer, PlaysEveryStepInOrderThroughTheThrottles) {
    auto script = InputScript::parse("move 0.1 0.1\nmove 0.2 0.2\nclick right\n"
                                     "drag 0.2 0.2 0.6 0.4\nscroll 0 -5\nwait 30\nkey v ctrl\ntype A");
    ASSERT_TRUE(script);
    RunLoop loop;
    std::vector<Json> sent;
    ControllerInputTranslator translator([&](Json message) { sent.push_back(std::move(message)); });
    translator.setTarget(mac());
    InputScriptPlayer player(script.value(), translator, loop);
    bool done = false;
    player.start([&] { done = true; });
    ASSERT_TRUE(loop.runUntil([&] { return done; }, 10s));
    EXPECT_TRUE(player.finished());

    std::vector<std::string> kinds;
    for (const Json& message : sent)
        kinds.push_back(message["type"].get<std::string>() +
                        (message.contains("mask") ? std::to_string(message["mask"].get<int>()) : ""));
    std::vector<std::string> expected = {"move", "move", "pointer4", "pointer0", "pointer1"};
    expected.insert(expected.end(), InputScriptPlayer::kDragSteps, "pointer1");
    expected.insert(expected.end(),
                    {"pointer0", "scroll", "keycode", "keycode", "keycode", "keycode", "keycode", "keycode"});
    EXPECT_EQ(kinds, expected);

    Json release = sent[5 + InputScriptPlayer::kDragSteps];
    EXPECT_EQ(release["x"], 0.6);
    EXPECT_EQ(release["y"], 0.4);
    // Control down, V with Command, Control up; then Shift-A.
    size_t keys = sent.size() - 6;
    EXPECT_EQ(sent[keys]["code"], 55);
    EXPECT_EQ(sent[keys]["down"], true);
    EXPECT_EQ(sent[keys + 1]["code"], 9);
    EXPECT_EQ(sent[keys + 1]["command"], true);
    EXPECT_EQ(sent[keys + 3]["code"], 55);
    EXPECT_EQ(sent[keys + 3]["down"], false);
    EXPECT_EQ(sent[keys + 4]["code"], 0);
    EXPECT_EQ(sent[keys + 4]["shift"], true);
}

} // namespace
