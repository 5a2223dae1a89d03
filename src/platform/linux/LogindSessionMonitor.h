#pragma once

#include "platform/SessionMonitor.h"

#include <atomic>
#include <mutex>
#include <string>
#include <systemd/sd-bus.h>
#include <thread>
#include <vector>

namespace quorlinth {

// Lock, unlock, sleep and wake of this login session from logind over D-Bus, and the lid state.
// The system's own screen sharing has no counterpart on Linux and reads as inactive.
class LogindSessionMonitor : public SessionMonitor {
public:
    // `busAddress` empty means the system bus; `sessionPath` empty means this process's own login
    // session. Without logind nothing is reported and the lid reads as open.
    explicit LogindSessionMonitor(std::string busAddress = {}, std::string sessionPath = {});
    ~LogindSessionMonitor() override;

    bool lidClosed() override;
    bool systemScreenSharingActive() override { return false; }
    bool screenLocked() override;
    std::unique_ptr<Observation> observe(std::function<void(SessionEvent)> event) override;

    // The session object path this monitor follows; empty outside a login session.
    const std::string& sessionPath() const { return session; }

private:
    struct Observers {
        std::mutex mutex;
        std::vector<std::function<void(SessionEvent)>*> list;
    };
    static int onSignal(sd_bus_message* message, void* context, sd_bus_error* error);
    void announce(SessionEvent event);
    bool readBoolean(const char* path, const char* interface, const char* property);
    void run();

    std::string address;
    std::string session;
    std::mutex busMutex;
    sd_bus* bus = nullptr;
    std::shared_ptr<Observers> observers = std::make_shared<Observers>();
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace quorlinth
