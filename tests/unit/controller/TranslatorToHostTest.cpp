// The controller's messages read by the host's own reader and injector: whatever the translator
// sends must be accepted and have the intended effect on the shared desktop.
#include "../host/InputEventPrinting.h"
#include "base/MainQueue.h"
#include "controller/ControllerInputTranslator.h"
#include "controller/InputScript.h"
#include "host/ControlMessage.h"
#include "host/MacInput.h"
#include "platform/fake/FakeKeyboardInputSources.h"
#include "platform/fake/RecordingInputInjector.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace quorlinth;

namespace {

using Kind = MouseEvent::Kind;
using namespace std::chrono_literals;

constexpr uint32_t kControlL = 0xffe3, kShiftL = 0xffe1, kCapsLock = 0xffe5, kLetterC = 0x63;

class TranslatorToHost : public ::testing::Test {
protected:
    TranslatorToHost() {
        // A 1025-point square: fraction n/1024 lands exactly on point n.
        injector.bounds = MainDisplayBounds{0, 0, 1025, 1025};
        flag->set(true);
        sources.sources = {{"us", "美式英文"}, {"pinyin", "拼音"}};
        sources.current = "us";
        MacDevice mac;
        mac.platform = "macos";
        mac.capabilities = {true, true, true};
        translator.setTarget(mac);
    }

    void deliver(Json message) {
        std::string bytes = dumpJson(message);
        auto parsed = parseControlMessage(bytes);
        EXPECT_TRUE(parsed) << "the host refused " << bytes << ": " << (parsed ? "" : parsed.error());
        input.handle(bytes, true);
    }

    static PicturePoint at(double x, double y) { return {x / 1024, y / 1024}; }

    double now = 50;
    RecordingInputInjector injector;
    FakeKeyboardInputSources sources;
    std::shared_ptr<LockedInputFlag> flag = std::make_shared<LockedInputFlag>(false);
    MacInput input{injector, sources, flag, [] { return 0.0; }, [](const std::string&) {}};
    ControllerInputTranslator translator{[this](Json message) { deliver(std::move(message)); },
                                         [this] { return now; }};
};

TEST_F(TranslatorToHost, PointerClicksDragsAndRightClicks) {
    translator.mouseMoved(at(100, 200));
    now += 1;
    translator.mouseDown(LocalButton::left, at(100, 200));
    now += 1;
    translator.mouseDragged(at(300, 400));
    translator.mouseUp(LocalButton::left, at(2000, 400)); // released beyond the picture
    translator.mouseDown(LocalButton::right, at(512, 512));
    translator.mouseUp(LocalButton::right, at(512, 512));
    const std::vector<InputEvent> expected{
        MouseEvent{Kind::moved, MouseButton::left, {100, 200}, 0},
        MouseEvent{Kind::down, MouseButton::left, {100, 200}, 1},
        MouseEvent{Kind::dragged, MouseButton::left, {300, 400}, 1},
        MouseEvent{Kind::up, MouseButton::left, {300, 400}, 1},
        MouseEvent{Kind::down, MouseButton::right, {512, 512}, 1},
        MouseEvent{Kind::up, MouseButton::right, {512, 512}, 1},
    };
    EXPECT_EQ(injector.events, expected);
}

TEST_F(TranslatorToHost, ScrollsAtTheClampedLimit) {
    translator.scrolled(-2500.7, 2500.7);
    translator.scrolled(12.9, -3.2);
    EXPECT_EQ(injector.events, (std::vector<InputEvent>{ScrollEvent{1000, -1000}, ScrollEvent{-3, 12}}));
}

TEST_F(TranslatorToHost, KeysModifiersAndTypedText) {
    translator.keyDown({kControlL, {false, true, false, false}, false});
    translator.keyDown({kLetterC, {false, true, false, false}, false});
    translator.keyUp({kLetterC, {false, true, false, false}, false});
    translator.keyUp({kControlL, {}, false});
    translator.typeText("A世");
    const std::vector<InputEvent> expected{
        KeyEvent{55, true, keyFlag::kCommand},
        KeyEvent{8, true, keyFlag::kCommand},
        KeyEvent{8, false, keyFlag::kCommand},
        KeyEvent{55, false, 0},
        KeyEvent{0, true, keyFlag::kShift},
        KeyEvent{0, false, keyFlag::kShift},
        TextEvent{"世", true},
        TextEvent{"世", false},
    };
    EXPECT_EQ(injector.events, expected);
    EXPECT_TRUE(input.heldKeys().empty());
}

TEST_F(TranslatorToHost, CapsLockSwitchesTheHostsInputSource) {
    translator.keyDown({kCapsLock, {}, false});
    translator.keyUp({kCapsLock, {}, false});
    EXPECT_EQ(sources.current, "pinyin");
    EXPECT_TRUE(injector.events.empty()) << "no key event for Caps Lock itself";
}

TEST_F(TranslatorToHost, FocusLossReleasesHeldKeysAndButton) {
    translator.keyDown({kShiftL, {true, false, false, false}, false});
    translator.keyDown({kLetterC, {true, false, false, false}, false});
    translator.mouseDown(LocalButton::left, at(10, 20));
    ASSERT_EQ(input.heldKeys().size(), 2u);
    ASSERT_TRUE(input.heldButton());
    injector.events.clear();

    translator.focusLost();
    EXPECT_FALSE(input.heldButton());
    EXPECT_TRUE(input.heldKeys().empty());
    const std::vector<InputEvent> expected{
        MouseEvent{Kind::up, MouseButton::left, {10, 20}, 1},
        KeyEvent{8, false, 0},
        KeyEvent{56, false, 0},
    };
    EXPECT_EQ(injector.events, expected);
}

// A script played in real time: the host clicks, types and drags as the lines say.
TEST_F(TranslatorToHost, ScriptClicksTypesDragsAndRightClicks) {
    auto script = InputScript::parse("move 0.5 0.25\nclick\ntype Hi, 世界\n"
                                     "drag 0.25 0.25 0.75 0.75\nclick right\nkey Return\n");
    ASSERT_TRUE(script) << script.error();
    RunLoop loop;
    ControllerInputTranslator live([this](Json message) { deliver(std::move(message)); });
    live.setTarget(translator.currentTarget());
    InputScriptPlayer player(script.value(), live, loop);
    bool done = false;
    player.start([&] { done = true; });
    ASSERT_TRUE(loop.runUntil([&] { return done; }, 10s));

    std::vector<InputEvent> keys;
    std::vector<MouseEvent> presses;
    size_t drags = 0;
    for (const auto& event : injector.events) {
        if (auto mouse = std::get_if<MouseEvent>(&event)) {
            if (mouse->kind == Kind::dragged) {
                ++drags;
            } else if (mouse->kind != Kind::moved) {
                presses.push_back(*mouse);
            }
        } else {
            keys.push_back(event);
        }
    }
    const std::vector<MouseEvent> expectedPresses{
        {Kind::down, MouseButton::left, {512, 256}, 1},  {Kind::up, MouseButton::left, {512, 256}, 1},
        {Kind::down, MouseButton::left, {256, 256}, 1},  {Kind::up, MouseButton::left, {768, 768}, 1},
        {Kind::down, MouseButton::right, {768, 768}, 1}, {Kind::up, MouseButton::right, {768, 768}, 1},
    };
    EXPECT_EQ(presses, expectedPresses);
    EXPECT_EQ(drags, size_t(InputScriptPlayer::kDragSteps)) << "no drag step lost to the throttle";
    const std::vector<InputEvent> expectedKeys{
        KeyEvent{4, true, keyFlag::kShift},
        KeyEvent{4, false, keyFlag::kShift},
        KeyEvent{34, true, 0},
        KeyEvent{34, false, 0},
        KeyEvent{43, true, 0},
        KeyEvent{43, false, 0},
        KeyEvent{49, true, 0},
        KeyEvent{49, false, 0},
        TextEvent{"世界", true},
        TextEvent{"世界", false},
        KeyEvent{36, true, 0},
        KeyEvent{36, false, 0},
    };
    EXPECT_EQ(keys, expectedKeys);
}

} // namespace
