#include "controller/ControllerInputTranslator.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

using namespace quorlinth;

namespace {

constexpr uint32_t kShiftL = 0xffe1, kShiftR = 0xffe2, kControlL = 0xffe3, kCapsLock = 0xffe5, kAltL = 0xffe9,
                   kSuperL = 0xffeb, kLetterC = 0x63;

MacDevice device(const std::string& platform, bool inputReady = true) {
    MacDevice target;
    target.id = "device-" + platform;
    target.name = "设备";
    target.platform = platform;
    target.online = true;
    target.capabilities = {true, inputReady, true};
    return target;
}

class TranslatorTest : public ::testing::Test {
protected:
    TranslatorTest() { translator.setTarget(device("macos")); }

    std::vector<std::string> types() const {
        std::vector<std::string> names;
        for (const Json& message : sent)
            names.push_back(message.value("type", ""));
        return names;
    }

    void advance(double seconds) { now += seconds; }

    double now = 100;
    std::vector<Json> sent;
    ControllerInputTranslator translator{[this](Json message) { sent.push_back(std::move(message)); },
                                         [this] { return now; }};
};

Json pointer(int mask, double x, double y) {
    return Json{{"type", "pointer"}, {"mask", mask}, {"x", x}, {"y", y}};
}

Json keycode(int code, bool down, bool shift = false, bool control = false, bool option = false,
             bool command = false) {
    return Json{{"type", "keycode"},  {"code", code},     {"down", down},      {"shift", shift},
                {"control", control}, {"option", option}, {"command", command}};
}

Json modifierKeycode(int code, bool down, bool shift, bool control, bool option, bool command) {
    Json message = keycode(code, down, shift, control, option, command);
    message["fn"] = false;
    return message;
}

TEST(PicturePoint, MapsViewPositionsForFitAndFill) {
    // A 1920×1080 picture in a 1000×1000 view: fit leaves bars of 218.75 above and below.
    struct Case {
        double x, y;
        bool fill;
        PicturePoint expected;
    };
    const Case cases[] = {
        {500, 500, false, {0.5, 0.5}},
        {500, 218.75, false, {0.5, 0}},
        {1000, 781.25, false, {1, 1}},
        {500, 100, false, {0.5, (100 - 218.75) / 562.5}}, // in the bar: outside the picture
        {500, 100, true, {0.5, 0.1}},
        {0, 1000, true, {0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << (c.fill ? " fill" : " fit"));
        auto point = picturePoint(c.x, c.y, {1000, 1000, 1920, 1080, c.fill});
        ASSERT_TRUE(point.has_value());
        EXPECT_DOUBLE_EQ(point->x, c.expected.x);
        EXPECT_DOUBLE_EQ(point->y, c.expected.y);
    }
    EXPECT_FALSE(picturePoint(1, 1, {1000, 1000, 0, 0, false})) << "no picture shown yet";
    EXPECT_FALSE(picturePoint(1, 1, {0, 1000, 1920, 1080, false})) << "a view without width";
}

TEST_F(TranslatorTest, ThrottlesHoverMovesAndDrags) {
    struct Case {
        const char* name;
        bool drag;
        double interval;
        int events;
        int sent;
    };
    const Case cases[] = {
        {"moves 20 ms apart: every other one", false, 0.020, 6, 3},
        {"moves 34 ms apart: all", false, 0.034, 6, 6},
        {"drags 20 ms apart: all", true, 0.020, 6, 6},
        {"drags 10 ms apart: every other one", true, 0.010, 6, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        advance(1);
        if (c.drag) translator.mouseDown(LocalButton::left, PicturePoint{0.1, 0.1});
        sent.clear();
        for (int i = 0; i < c.events; ++i) {
            PicturePoint at{0.1 + i * 0.01, 0.5};
            c.drag ? translator.mouseDragged(at) : translator.mouseMoved(at);
            advance(c.interval);
        }
        EXPECT_EQ(static_cast<int>(sent.size()), c.sent);
        for (const Json& message : sent) {
            Json expected = c.drag ? pointer(1, message["x"], 0.5)
                                   : Json{{"type", "move"}, {"x", message["x"]}, {"y", 0.5}};
            EXPECT_EQ(message, expected);
        }
        if (c.drag) translator.mouseUp(LocalButton::left, PicturePoint{0.5, 0.5});
    }
}

TEST_F(TranslatorTest, EachKindOfTargetGetsOnlyWhatItTakes) {
    auto play = [this] {
        translator.mouseMoved(PicturePoint{0.2, 0.2});
        advance(1);
        translator.mouseDown(LocalButton::left, PicturePoint{0.2, 0.2});
        advance(1);
        translator.mouseDragged(PicturePoint{0.3, 0.3});
        translator.mouseUp(LocalButton::left, PicturePoint{0.3, 0.3});
        translator.mouseDown(LocalButton::right, PicturePoint{0.3, 0.3});
        advance(1);
        translator.mouseDragged(PicturePoint{0.4, 0.4});
        translator.mouseUp(LocalButton::right, PicturePoint{0.4, 0.4});
        translator.scrolled(0, 3);
        translator.keyDown({kLetterC, {}, false});
        translator.keyUp({kLetterC, {}, false});
        translator.keyDown({kCapsLock, {}, false});
        translator.typeText("a");
        translator.sendKeyAction(ControllerInputTranslator::kHomeAction);
        translator.switchInputSource();
        translator.focusLost();
    };
    struct Case {
        const char* name;
        std::optional<MacDevice> target;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"a Mac",
         device("macos"),
         {"move", "pointer", "pointer", "pointer", "pointer", "pointer", "pointer", "scroll", "keycode",
          "keycode", "input_source", "keycode", "keycode", "key", "input_source", "release"}},
        {"an Android phone: pointer only, right click is back",
         device("android"),
         {"pointer", "pointer", "pointer", "key", "key"}},
        {"an iPhone: view only", device("ios"), {}},
        {"a Mac without input ready", device("macos", false), {}},
        {"no target", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        translator.setTarget(c.target);
        play();
        EXPECT_EQ(types(), c.expected);
    }
}

TEST_F(TranslatorTest, RightClickPressesTheRightButtonOnAMacAndGoesBackElsewhere) {
    translator.mouseDown(LocalButton::right, PicturePoint{0.25, 0.75});
    EXPECT_EQ(translator.heldMask(), 4);
    advance(1);
    translator.mouseDragged(PicturePoint{0.5, 0.75});
    translator.mouseUp(LocalButton::right, PicturePoint{0.5, 0.75});
    EXPECT_EQ(sent,
              (std::vector<Json>{pointer(4, 0.25, 0.75), pointer(4, 0.5, 0.75), pointer(0, 0.5, 0.75)}));

    sent.clear();
    translator.setTarget(device("android"));
    translator.mouseDown(LocalButton::right, PicturePoint{0.25, 0.75});
    advance(1);
    translator.mouseDragged(PicturePoint{0.5, 0.75});
    translator.mouseUp(LocalButton::right, PicturePoint{0.5, 0.75});
    EXPECT_EQ(sent, (std::vector<Json>{Json{{"type", "key"}, {"action", 0}}}))
        << "a right drag on a phone is neither a press nor a release";
}

TEST_F(TranslatorTest, PointsOutsideThePicture) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<std::optional<PicturePoint>> downDragUp;
        std::vector<Json> expected;
    };
    const Case cases[] = {
        {"press outside, drag in, release outside: released where the drag was",
         {PicturePoint{0.5, -0.1}, PicturePoint{0.5, 0.2}, PicturePoint{1.2, 0.2}},
         {pointer(1, 0.5, 0.2), pointer(0, 0.5, 0.2)}},
        {"press inside, released over a bar: at the last point inside",
         {PicturePoint{0.4, 0.4}, PicturePoint{0.5, 1.5}, PicturePoint{0.5, 1.5}},
         {pointer(1, 0.4, 0.4), pointer(0, 0.4, 0.4)}},
        {"edges count as inside",
         {PicturePoint{0, 0}, PicturePoint{1, 1}, PicturePoint{1, 0}},
         {pointer(1, 0, 0), pointer(1, 1, 1), pointer(0, 1, 0)}},
        {"no picture yet and not a number are outside",
         {std::nullopt, PicturePoint{nan, 0.5}, PicturePoint{0.5, nan}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerInputTranslator fresh([this](Json message) { sent.push_back(std::move(message)); },
                                        [this] { return now; });
        fresh.setTarget(device("macos"));
        sent.clear();
        fresh.mouseDown(LocalButton::left, c.downDragUp[0]);
        advance(1);
        fresh.mouseDragged(c.downDragUp[1]);
        fresh.mouseUp(LocalButton::left, c.downDragUp[2]);
        EXPECT_EQ(sent, c.expected);
        EXPECT_EQ(fresh.heldMask(), 0);
    }
    sent.clear();
    translator.mouseMoved(PicturePoint{-0.01, 0.5});
    EXPECT_TRUE(sent.empty()) << "a hover outside the picture";
}

TEST_F(TranslatorTest, ClampsScrollDeltas) {
    struct Case {
        double dx, dy;
        std::optional<Json> expected;
    };
    const double infinity = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {10.5, -3, Json{{"type", "scroll"}, {"dx", 10.5}, {"dy", -3.0}}},
        {1500, -2000, Json{{"type", "scroll"}, {"dx", 1000.0}, {"dy", -1000.0}}},
        {-1000, 1000, Json{{"type", "scroll"}, {"dx", -1000.0}, {"dy", 1000.0}}},
        {infinity, 1, std::nullopt},
        {0, std::numeric_limits<double>::quiet_NaN(), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dx << ", " << c.dy);
        sent.clear();
        translator.scrolled(c.dx, c.dy);
        if (c.expected) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0], *c.expected);
        } else {
            EXPECT_TRUE(sent.empty());
        }
    }
}

TEST_F(TranslatorTest, ModifierKeysAndFlags) {
    struct Step {
        bool down;
        uint32_t keysym;
        LocalModifiers after;
        Json expected;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"Control is Command, Super is Control, Alt is Option",
         {{true,
           kControlL,
           {false, true, false, false},
           modifierKeycode(55, true, false, false, false, true)},
          {true, kSuperL, {false, true, false, true}, modifierKeycode(59, true, false, true, false, true)},
          {true, kAltL, {false, true, true, true}, modifierKeycode(58, true, false, true, true, true)},
          {true, kLetterC, {false, true, true, true}, keycode(8, true, false, true, true, true)},
          {false, kLetterC, {false, true, true, true}, keycode(8, false, false, true, true, true)},
          {false, kAltL, {false, true, false, true}, modifierKeycode(58, false, false, true, false, true)},
          {false,
           kSuperL,
           {false, true, false, false},
           modifierKeycode(59, false, false, false, false, true)},
          {false, kControlL, {}, modifierKeycode(55, false, false, false, false, false)}}},
        {"releasing one Shift while the other is held leaves Shift down",
         {{true, kShiftL, {true, false, false, false}, modifierKeycode(56, true, true, false, false, false)},
          {true, kShiftR, {true, false, false, false}, modifierKeycode(60, true, true, false, false, false)},
          {false, kShiftL, {true, false, false, false}, modifierKeycode(56, true, true, false, false, false)},
          {false, kShiftR, {}, modifierKeycode(60, false, false, false, false, false)}}},
        {"a toolkit that reports the state before the change gives the same messages",
         {{true, kShiftL, {}, modifierKeycode(56, true, true, false, false, false)},
          {false,
           kShiftL,
           {true, false, false, false},
           modifierKeycode(56, false, false, false, false, false)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& step : c.steps) {
            sent.clear();
            step.down ? translator.keyDown({step.keysym, step.after, false})
                      : translator.keyUp({step.keysym, step.after, false});
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0], step.expected);
        }
    }
    sent.clear();
    translator.keyDown({kShiftL, {true, false, false, false}, true});
    translator.keyDown({0x1008ff2f /* XF86Sleep: no Mac key */, {}, false});
    EXPECT_TRUE(sent.empty()) << "modifier repeats and keys without a Mac code send nothing";
}

TEST_F(TranslatorTest, CapsLockSwitchesTheInputSourceOncePerPress) {
    translator.keyDown({kCapsLock, {}, false});
    translator.keyDown({kCapsLock, {}, true});
    translator.keyDown({kCapsLock, {}, true});
    translator.keyUp({kCapsLock, {}, false});
    translator.keyDown({kCapsLock, {}, false});
    translator.keyUp({kCapsLock, {}, false});
    EXPECT_EQ(types(), (std::vector<std::string>{"input_source", "input_source"}));
}

TEST_F(TranslatorTest, FocusLossReleasesEverything) {
    translator.keyDown({kShiftL, {true, false, false, false}, false});
    translator.mouseDown(LocalButton::left, PicturePoint{0.5, 0.5});
    sent.clear();
    translator.focusLost();
    EXPECT_EQ(sent, (std::vector<Json>{Json{{"type", "release"}}}));
    EXPECT_EQ(translator.heldMask(), 0);
    sent.clear();
    advance(1);
    translator.mouseDragged(PicturePoint{0.6, 0.6});
    EXPECT_TRUE(sent.empty()) << "no drag after the remote let go";
    translator.keyDown({kShiftR, {true, false, false, false}, false});
    translator.keyUp({kShiftR, {}, false});
    EXPECT_EQ(sent.back(), modifierKeycode(60, false, false, false, false, false))
        << "the Shift held before the focus loss no longer counts";
}

TEST_F(TranslatorTest, TypesKeysForAsciiAndTextForTheRest) {
    translator.typeText("Hi, 世界!");
    const std::vector<Json> expected{
        keycode(4, true, true),  keycode(4, false, true),  keycode(34, true),
        keycode(34, false),      keycode(43, true),        keycode(43, false),
        keycode(49, true),       keycode(49, false),       Json{{"type", "text"}, {"text", "世界"}},
        keycode(18, true, true), keycode(18, false, true),
    };
    EXPECT_EQ(sent, expected);

    // Long text is split at the host's limit of 4096 UTF-16 units, never inside a character.
    sent.clear();
    std::string longText;
    for (int i = 0; i < 4095; ++i)
        longText += "字";
    longText += "😀"; // two units: does not fit after 4095
    longText += "字";
    translator.typeText(longText);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["text"].get<std::string>().size(), 4095u * 3);
    EXPECT_EQ(sent[1]["text"], "😀字");

    sent.clear();
    translator.typeText(std::string("a\xff\xc3", 3) + "b");
    EXPECT_EQ(types(), (std::vector<std::string>(4, "keycode"))) << "invalid bytes are skipped";
}

TEST_F(TranslatorTest, CommandShortcutsKeptLocallyOrHandedOver) {
    constexpr uint32_t kLetterV = 0x76, kLetterF = 0x66;
    const LocalModifiers command{false, true, false, false};
    const LocalModifiers shiftCommand{true, true, false, false};
    std::vector<std::pair<double, std::function<void()>>> scheduled;
    translator.schedule = [&](double seconds, std::function<void()> task) {
        scheduled.emplace_back(seconds, std::move(task));
    };
    int fullScreen = 0;
    translator.onToggleFullScreen = [&] { ++fullScreen; };
    translator.keyDown({kLetterF, {false, true, false, true}, false});
    translator.keyUp({kLetterF, {false, true, false, true}, false});
    EXPECT_EQ(fullScreen, 1);
    EXPECT_EQ(sent, (std::vector<Json>{keycode(3, false, false, true, false, true)}))
        << "Control-Command-F stays here; only its key-up travels, as a Mac sends it";

    struct Case {
        const char* name;
        bool hook;
        std::optional<double> delay;
        LocalModifiers modifiers;
        bool repeat;
        std::vector<Json> atOnce;
        std::vector<Json> later;
    };
    const Case cases[] = {
        {"handed over as a transfer: nothing sent", true, std::nullopt, command, false, {}, {}},
        {"after the hand-over delay",
         true,
         0.15,
         shiftCommand,
         false,
         {},
         {keycode(9, true, true, false, false, true), keycode(9, false, true, false, false, true)}},
        {"no hook: an ordinary key",
         false,
         0.15,
         command,
         false,
         {keycode(9, true, false, false, false, true), keycode(9, false, false, false, false, true)},
         {}},
        {"a repeat: an ordinary key",
         true,
         0.15,
         command,
         true,
         {keycode(9, true, false, false, false, true), keycode(9, false, false, false, false, true)},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sent.clear();
        scheduled.clear();
        translator.beforePaste =
            c.hook ? std::function<std::optional<double>()>([&] { return c.delay; }) : nullptr;
        translator.keyDown({kLetterV, c.modifiers, c.repeat});
        translator.keyUp({kLetterV, c.modifiers, false});
        EXPECT_EQ(sent, c.atOnce);
        sent.clear();
        ASSERT_EQ(scheduled.size(), c.later.empty() ? 0u : 1u);
        if (!scheduled.empty()) {
            EXPECT_EQ(scheduled[0].first, *c.delay);
            scheduled[0].second();
        }
        EXPECT_EQ(sent, c.later);
    }
}

TEST_F(TranslatorTest, ToolbarActions) {
    translator.sendKeyAction(ControllerInputTranslator::kRecentTasksAction);
    translator.sendKeyAction(3);
    translator.sendKeyAction(-1);
    EXPECT_EQ(sent, (std::vector<Json>{Json{{"type", "key"}, {"action", 2}}}));
}

} // namespace
