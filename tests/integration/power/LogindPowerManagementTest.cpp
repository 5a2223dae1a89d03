#include "platform/linux/LogindPowerManagement.h"

#include "ChildProcess.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib defines macros (None, Bool...) that its headers use as names.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <chrono>
#include <systemd/sd-bus.h>
#include <thread>
#include <tuple>

using namespace quorlinth;
using namespace quorlinth::testing;

namespace {

using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>; // what, who, why, mode

bool eventually(const std::function<bool()>& condition, int seconds = 15) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// A private bus with logind played by python-dbusmock, which keeps the inhibitor locks it
// hands out until their descriptors close.
class MockLogind {
public:
    MockLogind()
        : address("unix:path=" + (folder.path() / "bus").string()),
          bus({"dbus-daemon", "--session", "--nofork", "--address=" + address}, {},
              folder.path() / "bus.out"),
          logind({"/usr/bin/python3", "-m", "dbusmock", "--template", "logind"},
                 {{"DBUS_SESSION_BUS_ADDRESS", address}, {"DBUS_SYSTEM_BUS_ADDRESS", address}},
                 folder.path() / "logind.out") {}

    std::vector<Inhibitor> inhibitors() const {
        std::vector<Inhibitor> found;
        sd_bus* client = nullptr;
        sd_bus_message* reply = nullptr;
        if (sd_bus_new(&client) >= 0 && sd_bus_set_address(client, address.c_str()) >= 0 &&
            sd_bus_set_bus_client(client, 1) >= 0 && sd_bus_start(client) >= 0 &&
            sd_bus_call_method(client, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "ListInhibitors", nullptr, &reply,
                               "") >= 0 &&
            sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
            const char *what, *who, *why, *mode;
            uint32_t uid, pid;
            while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
                found.emplace_back(what, who, why, mode);
        }
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(client);
        return found;
    }

    bool ready() const {
        sd_bus* client = nullptr;
        bool owned =
            sd_bus_new(&client) >= 0 && sd_bus_set_address(client, address.c_str()) >= 0 &&
            sd_bus_set_bus_client(client, 1) >= 0 && sd_bus_start(client) >= 0 &&
            sd_bus_call_method(client, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "ListInhibitors", nullptr, nullptr, "") >= 0;
        sd_bus_flush_close_unref(client);
        return owned;
    }

    TempDir folder;
    std::string address;
    ChildProcess bus;
    ChildProcess logind;
};

int screensaverState(const std::string& display) {
    Display* x11 = XOpenDisplay(display.c_str());
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    XScreenSaverQueryInfo(x11, DefaultRootWindow(x11), info);
    int state = info->state;
    XFree(info);
    XCloseDisplay(x11);
    return state;
}

} // namespace

TEST(LogindPowerManagement, AssertionsAreInhibitorLocksHeldUntilReleased) {
    MockLogind logind;
    ASSERT_TRUE(eventually([&] { return logind.ready(); })) << logind.logind.outputText();
    LogindPowerManagement power(logind.address, ":none");
    uint32_t sleep =
        power.createAssertion(PowerAssertionType::preventSystemSleep, "Quorlinth 共享中保持唤醒");
    uint32_t idle =
        power.createAssertion(PowerAssertionType::preventUserIdleDisplaySleep, "Quorlinth 正在共享屏幕");
    ASSERT_NE(sleep, 0u);
    ASSERT_NE(idle, 0u);
    auto held = logind.inhibitors();
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, (std::vector<Inhibitor>{{"idle", "Quorlinth", "Quorlinth 正在共享屏幕", "block"},
                                            {"sleep", "Quorlinth", "Quorlinth 共享中保持唤醒", "block"}}));
    power.releaseAssertion(sleep);
    EXPECT_TRUE(eventually([&] { return logind.inhibitors().size() == 1; }));
    power.releaseAssertion(idle);
    EXPECT_TRUE(eventually([&] { return logind.inhibitors().empty(); }));
}

TEST(LogindPowerManagement, WithoutLogindOrADisplayNothingIsHeld) {
    LogindPowerManagement power("unix:path=/nonexistent/bus", ":none");
    EXPECT_EQ(power.createAssertion(PowerAssertionType::preventSystemSleep, "x"), 0u);
    EXPECT_EQ(power.createAssertion(PowerAssertionType::preventUserIdleDisplaySleep, "x"), 0u);
}

TEST(LogindPowerManagement, TheDisplayAssertionHoldsOffTheScreensaver) {
    XvfbServer xvfb(640, 480);
    ASSERT_TRUE(xvfb.running());
    Display* settings = XOpenDisplay(xvfb.display().c_str());
    XSetScreenSaver(settings, 1, 0, DontPreferBlanking, AllowExposures); // starts after 1 s idle
    XSync(settings, False);

    LogindPowerManagement power("unix:path=/nonexistent/bus", xvfb.display());
    uint32_t awake =
        power.createAssertion(PowerAssertionType::preventUserIdleDisplaySleep, "Quorlinth 正在共享屏幕");
    ASSERT_NE(awake, 0u);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(screensaverState(xvfb.display()), ScreenSaverOff);
    power.releaseAssertion(awake);
    EXPECT_TRUE(eventually([&] { return screensaverState(xvfb.display()) == ScreenSaverOn; }));
    XCloseDisplay(settings);
}
