#include "ChildProcess.h"
#include "ServiceFixture.h"
#include "X11TestWindow.h"
#include "XEventRecorder.h"
#include "XvfbServer.h"
#include "base/MainQueue.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sstream>

using namespace quorlinth;
using namespace quorlinth::testing;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr Millis kGenerous{60'000};
// Where the first device row's 连接 button lies in the main window.
const std::string kConnectX = "312", kConnectY = "150";

std::filesystem::path binary(const std::string& name) {
    const char* dir = std::getenv("QUORLINTH_BINARY_DIR");
    return std::filesystem::path(dir ? dir : QUORLINTH_DEFAULT_BINARY_DIR) / "src/app" / name;
}

// Shares of the screen's pixels near red and near blue.
struct ColourShares {
    double red = 0;
    double blue = 0;
};

ColourShares sampleScreen(const std::string& server) {
    ColourShares shares;
    Display* display = XOpenDisplay(server.c_str());
    if (!display) return shares;
    Window root = DefaultRootWindow(display);
    XImage* image = XGetImage(display, root, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
    if (image) {
        int red = 0, blue = 0, total = 0;
        for (int y = 0; y < kHeight; y += 4)
            for (int x = 0; x < kWidth; x += 4, ++total) {
                unsigned long pixel = XGetPixel(image, x, y);
                int r = pixel >> 16 & 0xFF, g = pixel >> 8 & 0xFF, b = pixel & 0xFF;
                red += r > 200 && g < 60 && b < 60;
                blue += b > 200 && r < 60 && g < 60;
            }
        shares = {double(red) / total, double(blue) / total};
        XDestroyImage(image);
    }
    XCloseDisplay(display);
    return shares;
}

// The real service; `quorlinth-cli share` capturing one Xvfb with remote input allowed; the
// desktop application signed in as another device of the account on a second Xvfb.
class RemoteWindowTest : public ServiceTest {
protected:
    void SetUp() override {
        installMainQueue(&loop);
        ServiceTest::SetUp();
        ASSERT_TRUE(shared.running() && local.running());
        ASSERT_EQ(0, cli("host", {"login", kUser, kPassword}).exitCode);
        ASSERT_EQ(0, cli("viewer", {"login", kUser, kPassword}).exitCode);
        std::istringstream whoami(cli("host", {"whoami"}).out);
        std::getline(whoami, hostID, '\t');
        std::getline(whoami, hostID); // "user<TAB>device id"
        ASSERT_FALSE(hostID.empty());
    }

    void TearDown() override {
        app.reset();
        host.reset();
        installMainQueue(nullptr);
    }

    std::filesystem::path home(const std::string& role) const { return dir.path() / role; }

    Environment environment(const std::string& role, const XvfbServer& display) const {
        return {{"XDG_CONFIG_HOME", (home(role) / "config").string()},
                {"XDG_DATA_HOME", (home(role) / "data").string()},
                {"XDG_STATE_HOME", (home(role) / "state").string()},
                {"DISPLAY", display.display()},
                {"LANG", "C.UTF-8"},
                // The log is written (it is off under the test marker).
                {"QUORLINTH_TEST", ""}};
    }

    ProgramRun cli(const std::string& role, const std::vector<std::string>& words) {
        std::vector<std::string> arguments = {binary("quorlinth-cli").string(), "--service",
                                              service->baseUrl()};
        arguments.insert(arguments.end(), words.begin(), words.end());
        return runProgram(arguments, environment(role, role == "host" ? shared : local));
    }

    void startHost() {
        host = std::make_unique<ChildProcess>(
            std::vector<std::string>{binary("quorlinth-cli").string(), "--service", service->baseUrl(),
                                     "share", "--source", "x11", "--accept-all", "--allow-input",
                                     "--ice-address", "127.0.0.1"},
            environment("host", shared), dir.path() / "share.out");
        ASSERT_TRUE(waitFor([&] { return contains(host->outputText(), "信令已连接"); }))
            << host->outputText();
    }

    // The application on the local display as the viewer device.
    void startApp(const std::vector<std::string>& extra) {
        auto env = environment("viewer", local);
        env["QT_QPA_PLATFORM"] = "xcb";
        env["QUORLINTH_VIEW_STATS"] = "1";
        std::vector<std::string> arguments = {binary("quorlinth").string(), "--service", service->baseUrl(),
                                              "--ice-address", "127.0.0.1"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        app = std::make_unique<ChildProcess>(arguments, env, dir.path() / "app.out");
        ASSERT_TRUE(app->started());
    }

    // The application sharing the shared display as the host device: it starts sharing by
    // itself, with remote input, since the viewer is trusted and start at login is on.
    void startHostApp() {
        std::istringstream whoami(cli("viewer", {"whoami"}).out);
        std::string viewerID;
        std::getline(whoami, viewerID, '\t');
        std::getline(whoami, viewerID);
        ASSERT_FALSE(viewerID.empty());
        for (const auto& setting : std::vector<std::vector<std::string>>{
                 {"trusted-devices", "add", viewerID}, {"allow-input", "on"}, {"launch-at-login", "on"}}) {
            std::vector<std::string> words = {"settings"};
            words.insert(words.end(), setting.begin(), setting.end());
            ASSERT_EQ(0, cli("host", words).exitCode) << setting[0];
        }
        auto env = environment("host", shared);
        env["QT_QPA_PLATFORM"] = "xcb";
        host = std::make_unique<ChildProcess>(std::vector<std::string>{binary("quorlinth").string(),
                                                                       "--service", service->baseUrl(),
                                                                       "--ice-address", "127.0.0.1"},
                                              env, dir.path() / "host-app.out");
        ASSERT_TRUE(waitFor([&] { return contains(appLog("host"), "状态 正在共享主显示器"); }))
            << host->outputText() << appLog("host");
        ASSERT_TRUE(waitFor([&] { return !visibleWindow("^Quorlinth$", &shared).empty(); }))
            << host->outputText();
    }

    std::string appLog(const std::string& role = "viewer") const {
        std::string text;
        auto logs = home(role) / "state/quorlinth/logs";
        if (std::filesystem::exists(logs))
            for (const auto& entry : std::filesystem::directory_iterator(logs))
                text += readTextFile(entry.path());
        return text;
    }

    // The most pictures the remote view reported as shown.
    long framesShown() const {
        static const std::regex kStats("共 ([0-9]+) 帧");
        std::string log = appLog();
        long most = 0;
        for (std::sregex_iterator it(log.begin(), log.end(), kStats), end; it != end; ++it)
            most = std::max(most, std::stol((*it)[1]));
        return most;
    }

    static bool contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    bool waitFor(const std::function<bool()>& condition) {
        auto ticker = loop.every(Millis(100), Millis(100), [] {});
        return loop.runUntil(condition, kGenerous);
    }

    ProgramRun xdotool(const std::vector<std::string>& words, const XvfbServer* display = nullptr) {
        std::vector<std::string> arguments = {"xdotool"};
        arguments.insert(arguments.end(), words.begin(), words.end());
        return runProgram(arguments, Environment{{"DISPLAY", (display ? *display : local).display()}});
    }

    std::string diagnostics() {
        return "app:\n" + app->outputText() + appLog() + "\nhost:\n" + host->outputText() + appLog("host");
    }

    // The picture arrives and keeps being drawn: both halves of the shared display show. The
    // painted window is kept on top: the sharing application may raise its own window when the
    // viewer's resolution changes the screen.
    void expectPictureShown(X11TestWindow& painted) {
        ASSERT_TRUE(waitFor([&] { return contains(appLog(), "画面 1280×720 已显示"); })) << diagnostics();
        ASSERT_TRUE(waitFor([&] { return framesShown() >= 10; })) << diagnostics();
        ColourShares shares;
        ASSERT_TRUE(waitFor([&] {
            painted.raise();
            painted.paint(0xFF0000, 0x0000FF);
            shares = sampleScreen(local.display());
            return shares.red > 0.15 && shares.blue > 0.15;
        })) << shares.red
            << " " << shares.blue;
    }

    // A click on the picture and typed keys reach the shared display.
    void expectClickAndTypingReachTheSharedDisplay() {
        auto wake = loop.handle();
        XEventRecorder recorder(shared.display(), [wake] { wake->post([] {}); });
        ASSERT_TRUE(recorder.ready());
        std::string window = visibleWindow("^远程$");
        ASSERT_FALSE(window.empty());
        ASSERT_EQ(0, xdotool({"mousemove", "--window", window, "600", "400", "click", "1"}).exitCode);
        ASSERT_EQ(0, xdotool({"type", "--delay", "50", "qz"}).exitCode);
        std::vector<RecordedEvent> events;
        ASSERT_TRUE(waitFor([&] {
            events = recorder.events({ButtonPress, KeyPress});
            return events.size() >= 3;
        })) << diagnostics();
        EXPECT_EQ(events[0].type, ButtonPress);
        EXPECT_EQ(events[0].button, 1u);
        std::vector<unsigned long> typed;
        for (const auto& event : events)
            if (event.type == KeyPress) typed.push_back(event.keysym);
        EXPECT_EQ(typed, (std::vector<unsigned long>{XK_q, XK_z}));
    }

    // The first visible window whose title matches (on the local display unless named), or "".
    std::string visibleWindow(const std::string& title, const XvfbServer* display = nullptr) {
        ProgramRun found = xdotool({"search", "--onlyvisible", "--name", title}, display);
        return found.out.substr(0, found.out.find('\n'));
    }

    // Clicks 连接 on the first row of the main window's devices (the host is the only other
    // device) until the remote window opens: the row turns clickable once the host is listed as
    // sharing.
    void openFromDeviceList() {
        ASSERT_TRUE(waitFor([&] { return !visibleWindow("^Quorlinth$").empty(); })) << diagnostics();
        std::string main = visibleWindow("^Quorlinth$");
        auto clicker = loop.every(Millis(1000), Millis(1000), [&] {
            if (visibleWindow("^远程$").empty())
                xdotool({"mousemove", "--window", main, kConnectX, kConnectY, "click", "1"});
        });
        ASSERT_TRUE(waitFor([&] { return !visibleWindow("^远程$").empty(); })) << diagnostics();
    }

    RunLoop loop;
    XvfbServer shared{kWidth, kHeight};
    XvfbServer local{kWidth, kHeight};
    std::string hostID;
    std::unique_ptr<ChildProcess> host;
    std::unique_ptr<ChildProcess> app;
};

} // namespace

TEST_F(RemoteWindowTest, RemoteWindowShowsTheSharedDisplayAndSendsClicksAndTyping) {
    auto painted = std::make_unique<X11TestWindow>(shared.display(), kWidth, kHeight);
    ASSERT_TRUE(painted->ready());
    painted->paint(0xFF0000, 0x0000FF);
    startHost();
    startApp({"--connect", hostID});
    expectPictureShown(*painted);
    painted.reset();
    expectClickAndTypingReachTheSharedDisplay();
}

// Two installations of the application: one shares its display, the other opens it from its
// list of the account's devices.
TEST_F(RemoteWindowTest, OneApplicationSharesAndTheOtherControlsItFromItsDeviceList) {
    startHostApp();
    auto painted = std::make_unique<X11TestWindow>(shared.display(), kWidth, kHeight);
    ASSERT_TRUE(painted->ready());
    painted->paint(0xFF0000, 0x0000FF);
    startApp({});
    openFromDeviceList();
    expectPictureShown(*painted);
    painted.reset();
    expectClickAndTypingReachTheSharedDisplay();
}
