#include "platform/linux/LogindPowerManagement.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <fcntl.h>
#include <unistd.h>

namespace quorlinth {

namespace {
constexpr uint64_t kCallTimeoutMicros = 2'000'000; // a stuck logind must not hang the interface
constexpr const char* kWho = "Quorlinth";
} // namespace

LogindPowerManagement::LogindPowerManagement(std::string busAddress, std::string display) {
    int opened;
    if (busAddress.empty()) {
        opened = sd_bus_open_system(&bus);
    } else {
        opened = sd_bus_new(&bus);
        if (opened >= 0) opened = sd_bus_set_address(bus, busAddress.c_str());
        if (opened >= 0) opened = sd_bus_set_bus_client(bus, 1);
        if (opened >= 0) opened = sd_bus_start(bus);
    }
    if (opened < 0) bus = sd_bus_unref(bus);
    if (bus) sd_bus_set_method_call_timeout(bus, kCallTimeoutMicros);
    x11 = XOpenDisplay(display.empty() ? nullptr : display.c_str());
}

LogindPowerManagement::~LogindPowerManagement() {
    while (!held.empty())
        releaseAssertion(held.begin()->first);
    if (x11) XCloseDisplay(x11);
    sd_bus_flush_close_unref(bus);
}

int LogindPowerManagement::inhibit(const char* what, const std::string& why) {
    if (!bus) return -1;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", what, kWho,
                           why.c_str(), "block") >= 0) {
        int received = -1;
        // The reply owns its descriptor: keep a duplicate of our own.
        if (sd_bus_message_read(reply, "h", &received) >= 0) fd = fcntl(received, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return fd;
}

uint32_t LogindPowerManagement::createAssertion(PowerAssertionType type, const std::string& name) {
    Held assertion{type};
    if (type == PowerAssertionType::preventSystemSleep) {
        assertion.inhibitor = inhibit("sleep", name);
    } else {
        assertion.inhibitor = inhibit("idle", name);
        if (x11) {
            XScreenSaverSuspend(x11, True);
            XFlush(x11);
            assertion.screensaverHeld = true;
        }
    }
    if (assertion.inhibitor < 0 && !assertion.screensaverHeld) return 0;
    uint32_t id = nextID++;
    held.emplace(id, assertion);
    return id;
}

void LogindPowerManagement::releaseAssertion(uint32_t id) {
    auto found = held.find(id);
    if (found == held.end()) return;
    if (found->second.inhibitor >= 0) close(found->second.inhibitor);
    if (found->second.screensaverHeld && x11) {
        XScreenSaverSuspend(x11, False);
        XFlush(x11);
    }
    held.erase(found);
}

uint32_t LogindPowerManagement::declareUserActivity(UserActivityKind, const std::string&, uint32_t previous) {
    if (!x11) return 0;
    XResetScreenSaver(x11);
    XFlush(x11);
    return previous ? previous : nextID++;
}

} // namespace quorlinth
