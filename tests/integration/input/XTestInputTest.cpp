// GoogleTest comes before the X headers, whose macros (None, Bool) clash with its names.
// clang-format off
#include <gtest/gtest.h>
// clang-format on

#include "XEventRecorder.h"
#include "XvfbServer.h"
#include "base/Json.h"
#include "base/MainQueue.h"
#include "host/MacInput.h"
#include "platform/linux/XTestDisplay.h"
#include "platform/linux/XTestInputInjector.h"
#include "platform/linux/XTestInputSources.h"
#include "platform/linux/XTestKeyTable.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace quorlinth;
using quorlinth::testing::RecordedEvent;
using quorlinth::testing::XEventRecorder;
using quorlinth::testing::XvfbServer;

namespace {

constexpr Millis kWait{10000};

std::string pointer(double x, double y, int mask) {
    return dumpJson(Json{{"type", "pointer"}, {"x", x}, {"y", y}, {"mask", mask}});
}

std::string keycode(int code, bool down, bool shift = false, bool command = false) {
    return dumpJson(
        Json{{"type", "keycode"}, {"code", code}, {"down", down}, {"shift", shift}, {"command", command}});
}

std::string scroll(double dx, double dy) {
    return dumpJson(Json{{"type", "scroll"}, {"dx", dx}, {"dy", dy}});
}

std::string text(const std::string& value) {
    return dumpJson(Json{{"type", "text"}, {"text", value}});
}

// Number of keycodes the keymap leaves empty.
int emptyKeycodes(Display* display) {
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    KeySym* keysyms = XGetKeyboardMapping(display, minKeycode, maxKeycode - minKeycode + 1, &perKeycode);
    int empty = 0;
    for (int keycode = 0; keycode <= maxKeycode - minKeycode; ++keycode) {
        bool unused = true;
        for (int column = 0; column < perKeycode; ++column)
            unused = unused && keysyms[keycode * perKeycode + column] == NoSymbol;
        empty += unused;
    }
    XFree(keysyms);
    return empty;
}

class XTestInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.running());
        display = XTestDisplay::open(xvfb.display());
        ASSERT_TRUE(display);
        probe = XOpenDisplay(xvfb.display().c_str());
        ASSERT_TRUE(probe);
        injector = std::make_unique<XTestInputInjector>(display, loop);
        sources = std::make_unique<XTestInputSources>(display);
        flag->set(true);
        input = std::make_unique<MacInput>(*injector, *sources, flag, MacInput::systemUptime,
                                           [this](const std::string& line) { logLines.push_back(line); });
        startRecorder(false);
    }

    void TearDown() override {
        // Input content never reaches the log; only input-source switches are written.
        for (const auto& line : logLines)
            EXPECT_EQ(line.rfind("输入法 → ", 0), 0u) << line;
        recorder.reset();
        input.reset();
        injector.reset();
        if (probe) XCloseDisplay(probe);
    }

    void startRecorder(bool windowManager) {
        recorder.reset();
        auto wake = loop.handle();
        recorder = std::make_unique<XEventRecorder>(
            xvfb.display(), [wake] { wake->post([] {}); }, windowManager);
        ASSERT_TRUE(recorder->ready());
    }

    void send(const std::string& message) { input->handle(message, true); }

    // Waits until the recorder holds `count` events of the given types.
    std::vector<RecordedEvent> waitForEvents(const std::set<int>& types, size_t count) {
        std::vector<RecordedEvent> matching;
        loop.runUntil([&] { return (matching = recorder->events(types)).size() >= count; }, kWait);
        return matching;
    }

    std::vector<RecordedEvent> waitForKeys(size_t count) {
        return waitForEvents({KeyPress, KeyRelease}, count);
    }
    std::vector<RecordedEvent> waitForButtons(size_t count) {
        return waitForEvents({ButtonPress, ButtonRelease}, count);
    }

    XvfbServer xvfb{1920, 1080};
    RunLoop loop;
    std::shared_ptr<XTestDisplay> display;
    Display* probe = nullptr;
    std::unique_ptr<XTestInputInjector> injector;
    std::unique_ptr<XTestInputSources> sources;
    std::shared_ptr<LockedInputFlag> flag = std::make_shared<LockedInputFlag>(false);
    std::vector<std::string> logLines;
    std::unique_ptr<MacInput> input;
    std::unique_ptr<XEventRecorder> recorder;
};

void appendUtf8(std::string& out, uint32_t codepoint) {
    if (codepoint < 0x80) {
        out += static_cast<char>(codepoint);
    } else if (codepoint < 0x800) {
        out += static_cast<char>(0xC0 | (codepoint >> 6));
        out += static_cast<char>(0x80 | (codepoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codepoint >> 12));
        out += static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codepoint & 0x3F));
    }
}

bool keymapHolds(Display* display, KeySym wanted) {
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    KeySym* keysyms = XGetKeyboardMapping(display, minKeycode, maxKeycode - minKeycode + 1, &perKeycode);
    bool found = false;
    for (int i = 0; i < (maxKeycode - minKeycode + 1) * perKeycode; ++i)
        found = found || keysyms[i] == wanted;
    XFree(keysyms);
    return found;
}

// The characters the recorded key presses type, read back from their keysyms (Latin-1 keysyms
// are their code points, Unicode keysyms 0x01000000 + code point); modifiers type nothing.
std::string typedText(const std::vector<RecordedEvent>& keys) {
    std::string text;
    for (const auto& key : keys) {
        if (key.type != KeyPress || IsModifierKey(key.keysym)) continue;
        appendUtf8(text, (key.keysym & 0xFF000000) == 0x01000000 ? key.keysym & 0xFFFFFF : key.keysym);
    }
    return text;
}

struct PointerState {
    int x = 0;
    int y = 0;
    unsigned mask = 0;
};

PointerState queryPointer(Display* display) {
    Window root = 0, child = 0;
    PointerState state;
    int windowX = 0, windowY = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &state.x, &state.y, &windowX, &windowY,
                  &state.mask);
    return state;
}

bool anyKeyDown(Display* display) {
    char keys[32];
    XQueryKeymap(display, keys);
    for (char byte : keys)
        if (byte) return true;
    return false;
}

} // namespace

TEST_F(XTestInputTest, XTestOnTheDisplayIsThePermissionAndThePrimaryOutputTheMainDisplay) {
    EXPECT_TRUE(injector->trusted());
    EXPECT_TRUE(injector->requestTrust());
    EXPECT_EQ(injector->mainDisplayBounds(), (MainDisplayBounds{0, 0, 1920, 1080}));

    XTestInputInjector noDisplay(nullptr, loop);
    EXPECT_FALSE(noDisplay.trusted());
    EXPECT_FALSE(noDisplay.mainDisplayBounds());
    EXPECT_EQ(XTestDisplay::open(":nonexistent"), nullptr);
}

TEST_F(XTestInputTest, MovesThePointerToTheMappedPixel) {
    struct Case {
        double x, y;
        int px, py;
    };
    const Case cases[] = {{0, 0, 0, 0}, {1, 1, 1919, 1079}, {0.25, 0.75, 480, 809}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.x << ", " << c.y);
        recorder->clear();
        send(dumpJson(Json{{"type", "move"}, {"x", c.x}, {"y", c.y}}));
        ASSERT_TRUE(loop.runUntil(
            [&] {
                auto state = queryPointer(probe);
                return state.x == c.px && state.y == c.py;
            },
            kWait));
    }
}

TEST_F(XTestInputTest, ClicksAndDragsArriveWithButtonsAndPositions) {
    send(pointer(0.1, 0.1, 1));
    send(pointer(0.5, 0.5, 1)); // drag
    send(pointer(0.6, 0.6, 0));
    send(pointer(0.2, 0.3, 4));
    send(pointer(0.2, 0.3, 0));
    auto buttons = waitForButtons(4);
    ASSERT_EQ(buttons.size(), 4u);
    EXPECT_EQ(buttons[0].type, ButtonPress);
    EXPECT_EQ(buttons[0].button, 1u);
    EXPECT_EQ(buttons[0].x, 192); // 0.1 × 1919, rounded
    EXPECT_EQ(buttons[0].y, 108);
    EXPECT_EQ(buttons[1].type, ButtonRelease);
    EXPECT_EQ(buttons[1].button, 1u);
    EXPECT_EQ(buttons[1].x, 1151);
    EXPECT_EQ(buttons[2].type, ButtonPress);
    EXPECT_EQ(buttons[2].button, 3u);
    EXPECT_EQ(buttons[3].type, ButtonRelease);
    EXPECT_EQ(buttons[3].button, 3u);

    bool dragged = false;
    for (const auto& event : recorder->events()) {
        if (event.type == MotionNotify && event.x == 960 && event.y == 540)
            dragged = event.state & Button1Mask;
    }
    EXPECT_TRUE(dragged) << "the drag arrives as motion with the left button held";
}

TEST_F(XTestInputTest, ScrollsWithWheelButtonsKeepingTheRemainder) {
    send(scroll(0, 80));  // two clicks up
    send(scroll(0, -40)); // one down
    send(scroll(40, 0));  // one left
    send(scroll(-40, 0)); // one right
    send(scroll(0, 25));  // below one click
    send(scroll(0, 25));  // together one click up, 10 pixels left over
    auto buttons = waitForButtons(12);
    std::vector<unsigned> presses;
    for (const auto& event : buttons)
        if (event.type == ButtonPress) presses.push_back(event.button);
    EXPECT_EQ(presses, (std::vector<unsigned>{4, 4, 5, 6, 7, 4}));
}

TEST_F(XTestInputTest, KeycodesTypeByKeyPositionWithMacModifiers) {
    send(keycode(4, true)); // H
    send(keycode(4, false));
    send(keycode(34, true)); // I
    send(keycode(34, false));
    send(keycode(0, true, true)); // A with Shift named but not held
    send(keycode(0, false, true));
    send(keycode(55, true, false, true)); // Command
    send(keycode(8, true, false, true));  // C
    send(keycode(8, false, false, true));
    send(keycode(55, false));
    auto keys = waitForKeys(14);
    ASSERT_EQ(keys.size(), 14u);
    std::vector<std::pair<int, unsigned long>> seen;
    for (const auto& key : keys)
        seen.emplace_back(key.type, key.keysym);
    const std::vector<std::pair<int, unsigned long>> expected = {
        {KeyPress, XK_h},       {KeyRelease, XK_h},         {KeyPress, XK_i},         {KeyRelease, XK_i},
        {KeyPress, XK_Shift_L}, {KeyPress, XK_A},           {KeyRelease, XK_Shift_L}, {KeyPress, XK_Shift_L},
        {KeyRelease, XK_A},     {KeyRelease, XK_Shift_L},   {KeyPress, XK_Control_L}, {KeyPress, XK_c},
        {KeyRelease, XK_c},     {KeyRelease, XK_Control_L},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(keys[11].state & ControlMask) << "Command-C arrives as Control-C";
    EXPECT_FALSE(anyKeyDown(probe));
}

TEST_F(XTestInputTest, MacKeyCodesArriveAsTheKeyAtTheSamePosition) {
    struct Case {
        int code;
        unsigned long keysym;
    };
    const Case cases[] = {
        {0, XK_a},          {1, XK_s},          {12, XK_q},           {6, XK_z},
        {18, XK_1},         {29, XK_0},         {50, XK_grave},       {42, XK_backslash},
        {36, XK_Return},    {51, XK_BackSpace}, {117, XK_Delete},     {114, XK_Insert},
        {123, XK_Left},     {124, XK_Right},    {125, XK_Down},       {126, XK_Up},
        {122, XK_F1},       {111, XK_F12},      {53, XK_Escape},      {48, XK_Tab},
        {49, XK_space},     {115, XK_Home},     {116, XK_Prior},      {121, XK_Next},
        {119, XK_End},      {76, XK_KP_Enter},  {67, XK_KP_Multiply}, {110, XK_Menu},
        {105, XK_F13},      {90, XK_F20},       {93, XK_yen}, // not on this keymap: borrowed keycodes
        {55, XK_Control_L}, {54, XK_Control_R}, {59, XK_Control_L},   {62, XK_Control_R},
        {58, XK_Alt_L},     {61, XK_Alt_R},     {56, XK_Shift_L},     {60, XK_Shift_R},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "code " << c.code);
        recorder->clear();
        send(keycode(c.code, true));
        send(keycode(c.code, false));
        auto keys = waitForKeys(2);
        ASSERT_EQ(keys.size(), 2u);
        EXPECT_EQ(keys[0].type, KeyPress);
        EXPECT_EQ(keys[0].keysym, c.keysym);
        EXPECT_EQ(keys[1].type, KeyRelease);
    }
    EXPECT_FALSE(anyKeyDown(probe));

    int mapped = 0;
    for (uint16_t code = 0; code < 128; ++code)
        mapped += keysymForMacKey(code).has_value();
    EXPECT_EQ(mapped, 119) << "every Mac key has a keysym; nine codes name no key";
}

TEST_F(XTestInputTest, CommandAndControlShareOneControlKey) {
    send(keycode(55, true, false, true)); // Command
    send(keycode(59, true));              // Control
    send(keycode(55, false));
    XSync(display->get(), False); // the server has applied every event posted so far
    EXPECT_TRUE(anyKeyDown(probe)) << "Control is still held";
    send(keycode(59, false));
    XSync(display->get(), False);
    auto keys = waitForKeys(2);
    ASSERT_EQ(keys.size(), 2u) << "one press and one release in all";
    EXPECT_EQ(keys[0].type, KeyPress);
    EXPECT_EQ(keys[1].type, KeyRelease);
    EXPECT_EQ(keys[1].keysym, static_cast<unsigned long>(XK_Control_L));
    EXPECT_FALSE(anyKeyDown(probe));
}

TEST_F(XTestInputTest, TypesTextIncludingCharactersNoKeyProduces) {
    int emptyBefore = emptyKeycodes(probe);
    send(text("中文 Ok!"));
    auto keys = waitForEvents({KeyPress}, 8); // six characters, two of them with Shift
    EXPECT_EQ(typedText(keys), "中文 Ok!");
    EXPECT_TRUE(loop.runUntil([&] { return emptyKeycodes(probe) == emptyBefore; }, kWait))
        << "the borrowed keycodes are emptied again afterwards";
    EXPECT_FALSE(anyKeyDown(probe));
}

TEST_F(XTestInputTest, TypesLongTextWithMoreCharactersThanSpareKeycodes) {
    std::string many;
    for (uint32_t codepoint = 0x4E00; codepoint < 0x4E00 + 40; ++codepoint)
        appendUtf8(many, codepoint);
    send(text(many));
    auto keys = waitForEvents({KeyPress}, 40);
    EXPECT_EQ(typedText(keys), many);
}

// Reusing borrowed keycodes waits on a timer, not on the main thread: when the text is handed
// over, its last characters have not been given keycodes yet, and input sent meanwhile is
// typed after the text.
TEST_F(XTestInputTest, LongTextPausesOffTheMainThreadAndLaterInputWaitsBehindIt) {
    std::string many;
    for (uint32_t codepoint = 0x4E00; codepoint < 0x4E00 + 40; ++codepoint)
        appendUtf8(many, codepoint);
    send(text(many));
    XSync(probe, False);
    EXPECT_FALSE(keymapHolds(probe, 0x01000000 + 0x4E00 + 39)) << "the whole text was typed in one go";
    send(text("Ok"));
    auto keys = waitForEvents({KeyPress}, 43); // forty characters, then Shift, O and k
    EXPECT_EQ(typedText(keys), many + "Ok");
}

TEST_F(XTestInputTest, ReleaseAllLeavesNoKeyOrButtonDown) {
    send(keycode(56, true, true)); // Shift
    send(keycode(0, true, true));  // A
    send(keycode(55, true, false, true));
    send(pointer(0.5, 0.5, 1));
    ASSERT_TRUE(
        loop.runUntil([&] { return anyKeyDown(probe) && (queryPointer(probe).mask & Button1Mask); }, kWait));

    input->releaseAll();
    EXPECT_TRUE(loop.runUntil(
        [&] { return !anyKeyDown(probe) && !(queryPointer(probe).mask & (Button1Mask | Button3Mask)); },
        kWait));
    EXPECT_TRUE(input->heldKeys().empty());
}

TEST_F(XTestInputTest, KeyActionsFallBackToKeysWithoutAWindowManager) {
    send(R"({"type":"key","action":0})");
    send(R"({"type":"key","action":1})");
    send(R"({"type":"key","action":2})");
    auto presses = waitForEvents({KeyPress}, 5);
    std::vector<unsigned long> keysyms;
    for (const auto& key : presses)
        keysyms.push_back(key.keysym);
    // Escape; F11 for the desktop; Control-Up for the overview, Control pressed around each half.
    EXPECT_EQ(keysyms, (std::vector<unsigned long>{XK_Escape, XK_F11, XK_Control_L, XK_Up, XK_Control_L}));
}

TEST_F(XTestInputTest, ShowDesktopAsksAWindowManagerThatSupportsIt) {
    startRecorder(true);
    send(R"({"type":"key","action":1})");
    auto messages = waitForEvents({ClientMessage}, 1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, "_NET_SHOWING_DESKTOP");
    EXPECT_EQ(messages[0].data, 1);
    for (const auto& event : recorder->events())
        EXPECT_NE(event.type, KeyPress) << "no fallback key";
}

TEST_F(XTestInputTest, InputSourcesAreXkbGroups) {
    EXPECT_EQ(sources->enabledSources(), (std::vector<KeyboardInputSource>{{"0", "English (US)"}}));
    EXPECT_EQ(input->nextInputSource(), std::nullopt) << "a single layout does nothing";

    XkbComponentNamesRec names{};
    names.keycodes = const_cast<char*>("evdev+aliases(qwerty)");
    names.types = const_cast<char*>("complete");
    names.compat = const_cast<char*>("complete");
    names.symbols = const_cast<char*>("pc+us+de:2+inet(evdev)");
    XkbDescPtr loaded = XkbGetKeyboardByName(probe, XkbUseCoreKbd, &names, XkbGBN_AllComponentsMask,
                                             XkbGBN_AllComponentsMask, True);
    ASSERT_TRUE(loaded);
    XkbFreeKeyboard(loaded, 0, True);

    send(R"({"type":"input_source"})");
    EXPECT_EQ(sources->currentSourceID(), "1");
    EXPECT_EQ(logLines, std::vector<std::string>{"输入法 → German"});
    send(text("yz@中"));
    EXPECT_EQ(typedText(waitForEvents({KeyPress}, 4)), "yz@中") << "text does not depend on the layout";
    EXPECT_EQ(input->nextInputSource(), "English (US)");
    EXPECT_EQ(sources->currentSourceID(), "0");
}

TEST(XTestInputInjector, StopsInjectingWhenTheDisplayGoesAway) {
    auto server = std::make_unique<XvfbServer>(640, 480);
    ASSERT_TRUE(server->running());
    RunLoop loop;
    auto display = XTestDisplay::open(server->display());
    ASSERT_TRUE(display);
    XTestInputInjector injector(display, loop);
    ASSERT_TRUE(injector.trusted());
    injector.post(KeyEvent{56, true, keyFlag::kShift});

    server.reset();
    injector.post(MouseEvent{MouseEvent::Kind::moved, MouseButton::left, {10, 10}, 0});
    EXPECT_FALSE(injector.trusted()) << "a lost display is no longer a permission";
    injector.post(TextEvent{"中文", true}); // ignored, and nothing ends the process
    EXPECT_FALSE(injector.showDesktop());
}
