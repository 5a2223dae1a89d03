#include "host/MacInput.h"

#include "InputEventPrinting.h"
#include "base/Json.h"
#include "platform/fake/FakeKeyboardInputSources.h"
#include "platform/fake/RecordingInputInjector.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace quorlinth;

namespace {

using Kind = MouseEvent::Kind;

std::string pointer(double x, double y, int mask) {
    return dumpJson(Json{{"type", "pointer"}, {"x", x}, {"y", y}, {"mask", mask}});
}

std::string move(double x, double y) {
    return dumpJson(Json{{"type", "move"}, {"x", x}, {"y", y}});
}

std::string keycode(int code, bool down, bool shift = false, bool command = false) {
    return dumpJson(
        Json{{"type", "keycode"}, {"code", code}, {"down", down}, {"shift", shift}, {"command", command}});
}

std::string keyAction(int action) {
    return dumpJson(Json{{"type", "key"}, {"action", action}});
}

// A 1025-point square display: normalized n/1024 lands exactly on point n.
constexpr MainDisplayBounds kSquare{0, 0, 1025, 1025};
double at(double points) {
    return points / 1024;
}

class MacInputTest : public ::testing::Test {
protected:
    MacInputTest() {
        injector.bounds = kSquare;
        flag->set(true);
    }

    void send(const std::string& message) { input.handle(message, true); }

    std::vector<int64_t> downClickCounts() const {
        std::vector<int64_t> counts;
        for (const auto& event : injector.events) {
            if (auto mouse = std::get_if<MouseEvent>(&event); mouse && mouse->kind == Kind::down)
                counts.push_back(mouse->clickCount);
        }
        return counts;
    }

    RecordingInputInjector injector;
    FakeKeyboardInputSources sources;
    std::shared_ptr<LockedInputFlag> flag = std::make_shared<LockedInputFlag>(false);
    double now = 100;
    std::vector<std::string> logLines;
    MacInput input{injector, sources, flag, [this] { return now; },
                   [this](const std::string& line) { logLines.push_back(line); }};
};

} // namespace

TEST_F(MacInputTest, InjectsOnlyWhenAllowedAndTrusted) {
    struct Case {
        bool allowInput;
        bool trusted;
        bool posted;
    };
    const Case cases[] = {
        {false, true, false}, {true, false, false}, {false, false, false}, {true, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "allow " << c.allowInput << " trusted " << c.trusted);
        injector.events.clear();
        injector.isTrusted = c.trusted;
        input.handle(move(0.5, 0.5), c.allowInput);
        EXPECT_EQ(!injector.events.empty(), c.posted);
    }
}

TEST_F(MacInputTest, MapsNormalizedPositionsOntoTheMainDisplay) {
    struct Case {
        const char* name;
        std::optional<MainDisplayBounds> bounds;
        double x, y;
        std::optional<InputPoint> expected;
    };
    const Case cases[] = {
        {"origin", MainDisplayBounds{0, 0, 1920, 1080}, 0, 0, InputPoint{0, 0}},
        {"1/1 is the last pixel", MainDisplayBounds{0, 0, 1920, 1080}, 1, 1, InputPoint{1919, 1079}},
        {"centre", MainDisplayBounds{0, 0, 1920, 1080}, 0.5, 0.5, InputPoint{959.5, 539.5}},
        {"display away from the origin", MainDisplayBounds{1920, 100, 1280, 1024}, 1, 1,
         InputPoint{3199, 1123}},
        {"one-pixel display", MainDisplayBounds{0, 0, 1, 1}, 1, 1, InputPoint{0, 0}},
        {"zero width", MainDisplayBounds{0, 0, 0, 1080}, 0.5, 0.5, std::nullopt},
        {"negative height", MainDisplayBounds{0, 0, 1920, -1}, 0.5, 0.5, std::nullopt},
        {"no main display", std::nullopt, 0.5, 0.5, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        injector.events.clear();
        injector.bounds = c.bounds;
        send(move(c.x, c.y));
        if (!c.expected) {
            EXPECT_TRUE(injector.events.empty());
            continue;
        }
        ASSERT_EQ(injector.events.size(), 1u);
        EXPECT_EQ(injector.events[0],
                  InputEvent{(MouseEvent{Kind::moved, MouseButton::left, *c.expected, 0})});
        EXPECT_EQ(input.lastPoint(), *c.expected);
    }
}

TEST_F(MacInputTest, CountsDoubleClicksWithinDistanceAndInterval) {
    struct Press {
        double seconds; // since the previous press
        double points;  // horizontal position
    };
    struct Case {
        const char* name;
        std::vector<Press> presses;
        std::vector<int64_t> counts;
    };
    const Case cases[] = {
        {"0.4 s and 3 points apart, capped at 2", {{0, 500}, {0.4, 503}, {0.4, 506}}, {1, 2, 2}},
        {"5 points apart is a new click", {{0, 500}, {0.1, 505}}, {1, 1}},
        {"just under 5 points", {{0, 500}, {0.1, 504.9}}, {1, 2}},
        {"0.5 s apart is a new click", {{0, 500}, {0.5, 500}}, {1, 1}},
        {"a slow third press starts over", {{0, 500}, {0.2, 500}, {0.6, 500}, {0.2, 500}}, {1, 2, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        injector.events.clear();
        now += 10;
        for (const auto& press : c.presses) {
            now += press.seconds;
            send(pointer(at(press.points), 0.5, 1));
            send(pointer(at(press.points), 0.5, 0));
        }
        EXPECT_EQ(downClickCounts(), c.counts);
    }
}

TEST_F(MacInputTest, CountsClicksAcrossButtons) {
    send(pointer(at(100), at(100), 1));
    send(pointer(at(100), at(100), 0));
    now += 0.1;
    send(pointer(at(101), at(100), 4));
    EXPECT_EQ(downClickCounts(), (std::vector<int64_t>{1, 2}));
}

TEST_F(MacInputTest, PressDragAndRelease) {
    send(pointer(at(10), at(20), 1));
    send(pointer(at(30), at(40), 1));
    send(pointer(at(50), at(60), 0));
    const std::vector<InputEvent> expected = {
        MouseEvent{Kind::down, MouseButton::left, {10, 20}, 1},
        MouseEvent{Kind::dragged, MouseButton::left, {30, 40}, 1},
        MouseEvent{Kind::up, MouseButton::left, {50, 60}, 1},
    };
    EXPECT_EQ(injector.events, expected);
    EXPECT_FALSE(input.heldButton());
}

TEST_F(MacInputTest, RightPressAfterLeftReleasesLeftAtTheNewPointFirst) {
    send(pointer(at(10), at(10), 1));
    now += 1;
    send(pointer(at(200), at(200), 4));
    const std::vector<InputEvent> expected = {
        MouseEvent{Kind::down, MouseButton::left, {10, 10}, 1},
        MouseEvent{Kind::up, MouseButton::left, {200, 200}, 1},
        MouseEvent{Kind::down, MouseButton::right, {200, 200}, 1},
    };
    EXPECT_EQ(injector.events, expected);
    EXPECT_EQ(input.heldButton(), MouseButton::right);
}

TEST_F(MacInputTest, MaskZeroWithoutHeldButtonOnlyMovesLastPoint) {
    send(pointer(at(300), at(400), 0));
    EXPECT_TRUE(injector.events.empty());
    EXPECT_EQ(input.lastPoint(), (InputPoint{300, 400}));
}

TEST_F(MacInputTest, DropsInvalidPointerMessagesWithoutSideEffects) {
    send(pointer(at(10), at(10), 1));
    injector.events.clear();
    send(pointer(at(500), at(500), 2)); // middle button
    send(R"({"type":"pointer","x":1.5,"y":0.5,"mask":0})");
    EXPECT_TRUE(injector.events.empty());
    EXPECT_EQ(input.heldButton(), MouseButton::left);
    EXPECT_EQ(input.lastPoint(), (InputPoint{10, 10}));
}

TEST_F(MacInputTest, ScrollsVerticalFirstTruncatingToIntegers) {
    struct Case {
        std::string json;
        std::optional<ScrollEvent> expected;
    };
    const Case cases[] = {
        {R"({"type":"scroll","dx":2.9,"dy":-3.7})", ScrollEvent{-3, 2}},
        {R"({"type":"scroll","dx":1000.0,"dy":-1000})", ScrollEvent{-1000, 1000}},
        {R"({"type":"scroll","dx":1000.5,"dy":1})", std::nullopt},
        {R"({"type":"scroll","dy":1})", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        injector.events.clear();
        send(c.json);
        if (c.expected) {
            EXPECT_EQ(injector.events, std::vector<InputEvent>{*c.expected});
        } else {
            EXPECT_TRUE(injector.events.empty());
        }
    }
}

TEST_F(MacInputTest, KeycodesCarryFlagsAndTrackHeldKeys) {
    send(keycode(56, true, true));       // Shift down
    send(keycode(55, true, true, true)); // Command down
    send(keycode(8, true, true, true));  // C down
    send(keycode(8, false, true, true)); // C up
    send(keycode(128, true));            // dropped
    const std::vector<InputEvent> expected = {
        KeyEvent{56, true, 0x20000},
        KeyEvent{55, true, 0x120000},
        KeyEvent{8, true, 0x120000},
        KeyEvent{8, false, 0x120000},
    };
    EXPECT_EQ(injector.events, expected);
    EXPECT_EQ(input.heldKeys(), (std::set<uint16_t>{55, 56}));
}

TEST_F(MacInputTest, ReleaseAllReleasesButtonThenEveryHeldKey) {
    send(keycode(56, true, true)); // Shift held when the session ends
    send(keycode(0, true, true));
    send(pointer(at(5), at(6), 4));
    injector.events.clear();
    input.releaseAll();
    const std::vector<InputEvent> expected = {
        MouseEvent{Kind::up, MouseButton::right, {5, 6}, 1},
        KeyEvent{0, false, 0},
        KeyEvent{56, false, 0},
    };
    EXPECT_EQ(injector.events, expected);
    EXPECT_TRUE(input.heldKeys().empty());
    EXPECT_FALSE(input.heldButton());

    injector.events.clear();
    input.releaseAll();
    EXPECT_TRUE(injector.events.empty()) << "releasing twice posts nothing more";
}

TEST_F(MacInputTest, ReleaseMessageReleasesEverything) {
    send(keycode(56, true, true));
    send(R"({"type":"release"})");
    EXPECT_EQ(injector.events.back(), InputEvent{(KeyEvent{56, false, 0})});
    EXPECT_TRUE(input.heldKeys().empty());
}

TEST_F(MacInputTest, KeyActionsUseTheDesktopOrFallBackToKeys) {
    using Action = RecordingInputInjector::DesktopAction;
    struct Case {
        int action;
        bool desktopActionsAvailable;
        std::vector<Action> attempted;
        std::vector<InputEvent> keys;
    };
    const Case cases[] = {
        {0, true, {}, {KeyEvent{53, true, 0}, KeyEvent{53, false, 0}}},
        {1, true, {Action::showDesktop}, {}},
        {1, false, {Action::showDesktop}, {KeyEvent{103, true, 0}, KeyEvent{103, false, 0}}},
        {2, true, {Action::windowOverview}, {}},
        {2, false, {Action::windowOverview}, {KeyEvent{126, true, 0x40000}, KeyEvent{126, false, 0x40000}}},
        {3, false, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "action " << c.action << " available " << c.desktopActionsAvailable);
        injector.events.clear();
        injector.desktopActions.clear();
        injector.desktopActionsAvailable = c.desktopActionsAvailable;
        send(keyAction(c.action));
        EXPECT_EQ(injector.desktopActions, c.attempted);
        EXPECT_EQ(injector.events, c.keys);
    }
    EXPECT_TRUE(input.heldKeys().empty()) << "taps leave nothing held";
}

TEST_F(MacInputTest, TextIsOneDownAndOneUpCarryingTheString) {
    send(R"({"type":"text","text":"中文 ok"})");
    const std::vector<InputEvent> expected = {TextEvent{"中文 ok", true}, TextEvent{"中文 ok", false}};
    EXPECT_EQ(injector.events, expected);
}

TEST_F(MacInputTest, NextInputSourceCyclesThroughEnabledSources) {
    const std::vector<KeyboardInputSource> two = {{"us", "English (US)"}, {"de", "German"}};
    struct Case {
        const char* name;
        std::vector<KeyboardInputSource> sources;
        std::optional<std::string> current;
        bool selectable;
        std::optional<std::string> expected;
        int selections;
    };
    const Case cases[] = {
        {"single source does nothing", {{"us", "English (US)"}}, "us", true, std::nullopt, 0},
        {"empty list does nothing", {}, std::nullopt, true, std::nullopt, 0},
        {"first to second", two, "us", true, "German", 1},
        {"last wraps to first", two, "de", true, "English (US)", 1},
        {"unknown current starts at the first", two, "fr", true, "English (US)", 1},
        {"no current starts at the first", two, std::nullopt, true, "English (US)", 1},
        {"failed selection gives none", two, "us", false, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sources.sources = c.sources;
        sources.current = c.current;
        sources.selectable = c.selectable;
        sources.selections = 0;
        EXPECT_EQ(input.nextInputSource(), c.expected);
        EXPECT_EQ(sources.selections, c.selections);
    }
}

TEST_F(MacInputTest, InputSourceMessageLogsTheNewSourceOnlyWhenItChanged) {
    sources.sources = {{"us", "English (US)"}};
    sources.current = "us";
    send(R"({"type":"input_source"})");
    EXPECT_TRUE(logLines.empty());

    sources.sources.push_back({"de", "German"});
    send(R"({"type":"input_source"})");
    EXPECT_EQ(logLines, std::vector<std::string>{"输入法 → German"});
    EXPECT_EQ(sources.current, "de");
}

TEST_F(MacInputTest, InputReadyNeedsPermissionAndSwitch) {
    struct Case {
        bool trusted;
        bool flagValue;
        bool ready;
    };
    const Case cases[] = {
        {true, true, true}, {false, true, false}, {true, false, false}, {false, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "trusted " << c.trusted << " flag " << c.flagValue);
        injector.isTrusted = c.trusted;
        flag->set(c.flagValue);
        EXPECT_EQ(input.inputReady(), c.ready);
    }
}

TEST_F(MacInputTest, NeverLogsKeyTextOrPointerContent) {
    sources.sources = {{"us", "English (US)"}, {"de", "German"}};
    sources.current = "us";
    const std::string messages[] = {
        pointer(0.123, 0.456, 1),
        pointer(0.2, 0.3, 0),
        move(0.77, 0.66),
        R"({"type":"scroll","dx":12,"dy":-34})",
        keycode(8, true, false, true),
        keycode(8, false),
        R"({"type":"text","text":"secret-中文"})",
        keyAction(0),
        R"({"type":"input_source"})",
        R"({"type":"release"})",
        R"({"type":"text","text":""})",
        R"({"type":"pointer","x":"oops"})",
    };
    for (const auto& message : messages)
        send(message);
    ASSERT_EQ(logLines.size(), 1u);
    EXPECT_EQ(logLines[0], "输入法 → German");
}
