#include "ChildProcess.h"
#include "ServiceFixture.h"
#include "X11TestWindow.h"
#include "XEventRecorder.h"
#include "XvfbServer.h"
#include "base/MainQueue.h"
#include "controller/CloudRTCClient.h"

#include <X11/X.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

using namespace quorlinth;
using namespace quorlinth::testing;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr Millis kGenerous{60'000};

std::filesystem::path cliBinary() {
    const char* dir = std::getenv("QUORLINTH_BINARY_DIR");
    return std::filesystem::path(dir ? dir : QUORLINTH_DEFAULT_BINARY_DIR) / "src/app/quorlinth-cli";
}

std::filesystem::path sourceDir() {
    const char* dir = std::getenv("QUORLINTH_SOURCE_DIR");
    return dir ? dir : QUORLINTH_DEFAULT_SOURCE_DIR;
}

bool near(int r, int g, int b, unsigned long rgb) {
    auto close = [](int got, int want) { return std::abs(got - want) <= 48; };
    return close(r, int(rgb >> 16 & 0xFF)) && close(g, int(rgb >> 8 & 0xFF)) && close(b, int(rgb & 0xFF));
}

// The real service, an Xvfb, and `quorlinth-cli share` capturing that display with remote input
// allowed; the account has a second device for the controller.
class DesktopShareTest : public ServiceTest {
protected:
    void SetUp() override {
        installMainQueue(&loop);
        ServiceTest::SetUp();
        ASSERT_TRUE(xvfb.running());
        ASSERT_EQ(0, cli("host", {"login", kUser, kPassword}).exitCode);
        std::istringstream whoami(cli("host", {"whoami"}).out);
        std::getline(whoami, hostID, '\t');
        std::getline(whoami, hostID); // "user<TAB>device id"
        ASSERT_FALSE(hostID.empty());
    }

    void TearDown() override {
        host.reset();
        installMainQueue(nullptr);
    }

    std::filesystem::path home(const std::string& role) const { return dir.path() / role; }

    std::map<std::string, std::string> environment(const std::string& role) const {
        return {{"XDG_CONFIG_HOME", (home(role) / "config").string()},
                {"XDG_DATA_HOME", (home(role) / "data").string()},
                {"XDG_STATE_HOME", (home(role) / "state").string()},
                {"DISPLAY", xvfb.display()}};
    }

    std::vector<std::string> cliArguments(const std::vector<std::string>& words) const {
        std::vector<std::string> arguments = {cliBinary().string(), "--service", service->baseUrl()};
        arguments.insert(arguments.end(), words.begin(), words.end());
        return arguments;
    }

    // Runs the command line program as `role` to its end.
    ProgramRun cli(const std::string& role, const std::vector<std::string>& words) {
        return runProgram(cliArguments(words), environment(role));
    }

    // Starts the sharing host; it writes its log file (the test harness marker is removed).
    void startHost() {
        auto env = environment("host");
        env["QUORLINTH_TEST"] = "";
        host = std::make_unique<ChildProcess>(cliArguments({"share", "--source", "x11", "--accept-all",
                                                            "--allow-input", "--ice-address", "127.0.0.1"}),
                                              env, dir.path() / "share.out");
        ASSERT_TRUE(waitForHostLine("信令已连接")) << host->outputText();
    }

    bool waitForHostLine(const std::string& text) {
        auto ticker = loop.every(Millis(50), Millis(50), [] {});
        return loop.runUntil([&] { return host->outputText().find(text) != std::string::npos; }, kGenerous);
    }

    std::string hostLog() const {
        std::string text;
        auto logs = home("host") / "state/quorlinth/logs";
        if (std::filesystem::exists(logs))
            for (const auto& entry : std::filesystem::directory_iterator(logs))
                text += readTextFile(entry.path());
        return text;
    }

    RunLoop loop;
    XvfbServer xvfb{kWidth, kHeight};
    std::string hostID;
    std::unique_ptr<ChildProcess> host;
};

TEST_F(DesktopShareTest, ConnectSavesWhatIsDrawnOnTheSharedDisplay) {
    X11TestWindow window(xvfb.display(), kWidth, kHeight);
    ASSERT_TRUE(window.ready());
    window.paint(0xFF0000, 0x0000FF);
    startHost();
    ASSERT_EQ(0, cli("viewer", {"login", kUser, kPassword}).exitCode);
    auto picture = dir.path() / "screen.png";
    ProgramRun connect = cli("viewer", {"connect", hostID, "--ice-address", "127.0.0.1", "--frames", "30",
                                        "--seconds", "60", "--save", picture.string()});
    ASSERT_EQ(0, connect.exitCode) << connect.out << connect.err << host->outputText();

    ProgramRun probe =
        runProgram({"python3", (sourceDir() / "tests/integration/session/png_probe.py").string(),
                    picture.string(), "320,360", "960,360", "20,20", "1260,700"});
    std::istringstream lines(probe.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "size 1280x720");
    const unsigned long expected[] = {0xFF0000, 0x0000FF, 0xFF0000, 0x0000FF};
    for (unsigned long colour : expected) {
        std::string point;
        int r = -1, g = -1, b = -1;
        lines >> point >> r >> g >> b;
        SCOPED_TRACE(point);
        EXPECT_TRUE(near(r, g, b, colour)) << r << " " << g << " " << b;
    }
}

// A controller in this process sends control messages over a real session; an X client on the
// shared display records what arrives.
class DesktopInputTest : public DesktopShareTest {
protected:
    void SetUp() override {
        DesktopShareTest::SetUp();
        auto wake = loop.handle();
        recorder = std::make_unique<XEventRecorder>(xvfb.display(), [wake] { wake->post([] {}); });
        ASSERT_TRUE(recorder->ready());
        startHost();
        std::string token = signIn();
        BoundDevice viewer = bind(token, "desktop-input-viewer", "viewer", "linux");
        CloudRTCClient::Options options;
        options.iceAddresses = {"127.0.0.1"};
        controller = CloudRTCClient::create({service->baseUrl(), token, viewer.id, viewer.token}, hostID,
                                            std::nullopt, std::nullopt, options);
        controller->onFailure = [this](std::string text) { failure = text; };
        controller->start();
        ASSERT_TRUE(
            loop.runUntil([&] { return failure || controller->frames.read().second > 0; }, kGenerous));
        ASSERT_FALSE(failure) << *failure;
    }

    void TearDown() override {
        if (controller) controller->stop();
        controller.reset();
        recorder.reset();
        // Remote input content never reaches the host's output or its log.
        std::string written = host ? host->outputText() + hostLog() : "";
        EXPECT_EQ(written.find("中文"), std::string::npos);
        DesktopShareTest::TearDown();
    }

    std::vector<RecordedEvent> waitForEvents(const std::set<int>& types, size_t count) {
        std::vector<RecordedEvent> matching;
        loop.runUntil([&] { return (matching = recorder->events(types)).size() >= count; }, kGenerous);
        return matching;
    }

    static Json pointer(double x, double y, int mask) {
        return {{"type", "pointer"}, {"x", x}, {"y", y}, {"mask", mask}};
    }
    static Json keycode(int code, bool down, bool shift = false) {
        return {{"type", "keycode"}, {"code", code}, {"down", down}, {"shift", shift}};
    }

    std::unique_ptr<XEventRecorder> recorder;
    std::shared_ptr<CloudRTCClient> controller;
    std::optional<std::string> failure;
};

TEST_F(DesktopInputTest, PointerClicksDragsAndScrollsArriveAtTheMappedPixels) {
    controller->sendControl(pointer(0.25, 0.5, 1));
    controller->sendControl(pointer(0.5, 0.5, 1)); // drag
    controller->sendControl(pointer(0.5, 0.5, 0));
    controller->sendControl({{"type", "scroll"}, {"dx", 0}, {"dy", 80}});
    auto buttons = waitForEvents({ButtonPress, ButtonRelease}, 6);
    ASSERT_GE(buttons.size(), 6u);
    EXPECT_EQ(buttons[0].type, ButtonPress);
    EXPECT_EQ(buttons[0].button, 1u);
    EXPECT_EQ(buttons[0].x, 320); // 0.25 × 1279, rounded
    EXPECT_EQ(buttons[0].y, 360);
    EXPECT_EQ(buttons[1].type, ButtonRelease);
    EXPECT_EQ(buttons[1].x, 640);
    EXPECT_EQ(buttons[2].button, 4u) << "a wheel click up";

    bool dragged = false;
    for (const auto& event : recorder->events())
        if (event.type == MotionNotify && event.x == 640 && event.y == 360)
            dragged = event.state & Button1Mask;
    EXPECT_TRUE(dragged) << "the drag arrives as motion with the left button held";
}

TEST_F(DesktopInputTest, KeysAndTextTypeIntoTheDisplay) {
    controller->sendControl(keycode(0, true)); // the key at A
    controller->sendControl(keycode(0, false));
    controller->sendControl({{"type", "text"}, {"text", "中文"}});
    std::vector<unsigned long> typed;
    for (const auto& press : waitForEvents({KeyPress}, 3))
        typed.push_back(press.keysym);
    EXPECT_EQ(typed, (std::vector<unsigned long>{XK_a, 0x1004E2D, 0x1006587}));
}

TEST_F(DesktopInputTest, SessionEndReleasesHeldKeysAndButtons) {
    controller->sendControl(keycode(56, true)); // Shift held
    controller->sendControl(pointer(0.5, 0.5, 1));
    ASSERT_EQ(waitForEvents({ButtonPress}, 1).size(), 1u);
    controller->stop();
    auto releases = waitForEvents({KeyRelease, ButtonRelease}, 2);
    ASSERT_EQ(releases.size(), 2u) << "nothing stays pressed after the controller leaves";
    bool shiftUp = false, buttonUp = false;
    for (const auto& event : releases) {
        shiftUp = shiftUp || (event.type == KeyRelease && event.keysym == XK_Shift_L);
        buttonUp = buttonUp || (event.type == ButtonRelease && event.button == 1);
    }
    EXPECT_TRUE(shiftUp);
    EXPECT_TRUE(buttonUp);
}

} // namespace
