#include "platform/linux/LogindSessionMonitor.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace quorlinth;

namespace {

constexpr const char* kSessionPath = "/org/freedesktop/login1/session/test";

// A private message bus for one test.
class PrivateBus {
public:
    PrivateBus() {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const char* argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1", nullptr};
        if (posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        pollfd ready{out[0], POLLIN, 0};
        char c;
        while (pid > 0 && poll(&ready, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
            address.push_back(c);
        close(out[0]);
    }
    ~PrivateBus() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::string address;

private:
    pid_t pid = -1;
};

// Stands in for logind on the private bus: the manager's LidClosed, one session's LockedHint,
// and the signals the monitor follows.
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address) {
        sd_bus_new(&bus);
        sd_bus_set_address(bus, address.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (sd_bus_start(bus) < 0) return;
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 kManagerTable, this);
        sd_bus_add_object_vtable(bus, nullptr, kSessionPath, "org.freedesktop.login1.Session", kSessionTable,
                                 this);
        ready = sd_bus_request_name(bus, "org.freedesktop.login1", 0) >= 0;
        worker = std::thread([this] {
            while (!stopping) {
                int processed;
                {
                    std::lock_guard lock(mutex);
                    processed = sd_bus_process(bus, nullptr);
                }
                if (processed <= 0) sd_bus_wait(bus, 20'000);
            }
        });
    }
    ~FakeLogind() {
        stopping = true;
        if (worker.joinable()) worker.join();
        sd_bus_flush_close_unref(bus);
    }

    void emitManager(const char* member, bool value) {
        std::lock_guard lock(mutex);
        sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", member, "b",
                           int(value));
    }
    void emitSession(const char* member) {
        std::lock_guard lock(mutex);
        sd_bus_emit_signal(bus, kSessionPath, "org.freedesktop.login1.Session", member, "");
    }

    bool ready = false;
    std::atomic<bool> lid{false};
    std::atomic<bool> locked{false};

private:
    static int readFlag(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                        void* context, sd_bus_error*) {
        auto* self = static_cast<FakeLogind*>(context);
        int value = std::string(property) == "LidClosed" ? self->lid.load() : self->locked.load();
        return sd_bus_message_append(reply, "b", value);
    }
    static constexpr sd_bus_vtable kManagerTable[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("LidClosed", "b", readFlag, 0, 0),
        SD_BUS_SIGNAL("PrepareForSleep", "b", 0), SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kSessionTable[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("LockedHint", "b", readFlag, 0, 0),
        SD_BUS_SIGNAL("Lock", "", 0), SD_BUS_SIGNAL("Unlock", "", 0), SD_BUS_VTABLE_END};

    sd_bus* bus = nullptr;
    std::mutex mutex;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

struct EventLog {
    std::mutex mutex;
    std::vector<SessionEvent> events;
    bool waitFor(size_t count) {
        for (int i = 0; i < 1000; ++i) {
            {
                std::lock_guard lock(mutex);
                if (events.size() >= count) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

} // namespace

TEST(LogindSessionMonitor, FollowsLidLockAndSleepFromLogind) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address.empty());
    FakeLogind logind(bus.address);
    ASSERT_TRUE(logind.ready);
    LogindSessionMonitor monitor(bus.address, kSessionPath);

    EXPECT_FALSE(monitor.systemScreenSharingActive());
    EXPECT_FALSE(monitor.lidClosed());
    logind.lid = true;
    EXPECT_TRUE(monitor.lidClosed());
    EXPECT_FALSE(monitor.screenLocked());
    logind.locked = true;
    EXPECT_TRUE(monitor.screenLocked());

    EventLog log;
    auto observation = monitor.observe([&](SessionEvent event) {
        std::lock_guard lock(log.mutex);
        log.events.push_back(event);
    });
    logind.emitSession("Lock");
    ASSERT_TRUE(log.waitFor(1));
    logind.emitSession("Unlock");
    ASSERT_TRUE(log.waitFor(2));
    logind.emitManager("PrepareForSleep", true);
    ASSERT_TRUE(log.waitFor(3));
    logind.emitManager("PrepareForSleep", false);
    ASSERT_TRUE(log.waitFor(4));
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.events, (std::vector<SessionEvent>{SessionEvent::screenLocked, SessionEvent::screenUnlocked,
                                                     SessionEvent::willSleep, SessionEvent::didWake}));
}

TEST(LogindSessionMonitor, WithoutLogindReportsNothingAndTheLidOpen) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address.empty());
    LogindSessionMonitor monitor(bus.address, kSessionPath);
    EXPECT_FALSE(monitor.lidClosed());
    EXPECT_FALSE(monitor.screenLocked());
    LogindSessionMonitor unreachable("unix:path=/nonexistent/bus");
    EXPECT_FALSE(unreachable.lidClosed());
    auto observation = unreachable.observe([](SessionEvent) {});
}
