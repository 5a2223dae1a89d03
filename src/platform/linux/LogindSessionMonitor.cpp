#include "platform/linux/LogindSessionMonitor.h"

#include <algorithm>
#include <cstdlib>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

namespace quorlinth {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";

class MonitorObservation : public Observation {
public:
    using List = std::vector<std::function<void(SessionEvent)>*>;
    MonitorObservation(std::shared_ptr<void> keep, std::mutex& mutex, List& list,
                       std::function<void(SessionEvent)> callback)
        : keep(std::move(keep)), mutex(mutex), list(list), callback(std::move(callback)) {
        std::lock_guard lock(mutex);
        list.push_back(&this->callback);
    }
    ~MonitorObservation() override {
        std::lock_guard lock(mutex);
        std::erase(list, &callback);
    }

private:
    std::shared_ptr<void> keep;
    std::mutex& mutex;
    List& list;
    std::function<void(SessionEvent)> callback;
};

std::string ownSessionPath() {
    char* id = nullptr;
    if (sd_pid_get_session(0, &id) < 0 || !id) return {};
    char* path = nullptr;
    int encoded = sd_bus_path_encode("/org/freedesktop/login1/session", id, &path);
    std::free(id);
    if (encoded < 0 || !path) return {};
    std::string result = path;
    std::free(path);
    return result;
}

} // namespace

LogindSessionMonitor::LogindSessionMonitor(std::string busAddress, std::string sessionPath)
    : address(std::move(busAddress)), session(std::move(sessionPath)) {
    int opened;
    if (address.empty()) {
        opened = sd_bus_open_system(&bus);
    } else {
        opened = sd_bus_new(&bus);
        if (opened >= 0) opened = sd_bus_set_address(bus, address.c_str());
        if (opened >= 0) opened = sd_bus_set_bus_client(bus, 1);
        if (opened >= 0) opened = sd_bus_start(bus);
    }
    if (opened < 0) {
        bus = sd_bus_flush_close_unref(bus);
        return;
    }
    if (session.empty()) session = ownSessionPath();
    sd_bus_match_signal(bus, nullptr, kService, kManagerPath, kManager, "PrepareForSleep", onSignal, this);
    if (!session.empty()) {
        sd_bus_match_signal(bus, nullptr, kService, session.c_str(), kSession, "Lock", onSignal, this);
        sd_bus_match_signal(bus, nullptr, kService, session.c_str(), kSession, "Unlock", onSignal, this);
    }
    worker = std::thread([this] { run(); });
}

LogindSessionMonitor::~LogindSessionMonitor() {
    stopping = true;
    if (worker.joinable()) worker.join();
    if (bus) sd_bus_flush_close_unref(bus);
}

void LogindSessionMonitor::run() {
    constexpr uint64_t kWaitUs = 200'000; // how quickly the destructor is noticed
    while (!stopping) {
        int processed;
        {
            std::lock_guard lock(busMutex);
            processed = sd_bus_process(bus, nullptr);
        }
        if (processed < 0) return;
        if (processed == 0) sd_bus_wait(bus, kWaitUs);
    }
}

int LogindSessionMonitor::onSignal(sd_bus_message* message, void* context, sd_bus_error*) {
    auto* self = static_cast<LogindSessionMonitor*>(context);
    if (sd_bus_message_is_signal(message, kManager, "PrepareForSleep")) {
        int starting = 0;
        if (sd_bus_message_read(message, "b", &starting) < 0) return 0;
        self->announce(starting ? SessionEvent::willSleep : SessionEvent::didWake);
    } else if (sd_bus_message_is_signal(message, kSession, "Lock")) {
        self->announce(SessionEvent::screenLocked);
    } else if (sd_bus_message_is_signal(message, kSession, "Unlock")) {
        self->announce(SessionEvent::screenUnlocked);
    }
    return 0;
}

void LogindSessionMonitor::announce(SessionEvent event) {
    std::lock_guard lock(observers->mutex);
    for (auto* observer : observers->list)
        (*observer)(event);
}

bool LogindSessionMonitor::readBoolean(const char* path, const char* interface, const char* property) {
    if (!bus) return false;
    std::lock_guard lock(busMutex);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int value = 0;
    int read = sd_bus_get_property_trivial(bus, kService, path, interface, property, &error, 'b', &value);
    sd_bus_error_free(&error);
    return read >= 0 && value;
}

bool LogindSessionMonitor::lidClosed() {
    return readBoolean(kManagerPath, kManager, "LidClosed");
}

bool LogindSessionMonitor::screenLocked() {
    return !session.empty() && readBoolean(session.c_str(), kSession, "LockedHint");
}

std::unique_ptr<Observation> LogindSessionMonitor::observe(std::function<void(SessionEvent)> event) {
    return std::make_unique<MonitorObservation>(observers, observers->mutex, observers->list,
                                                std::move(event));
}

} // namespace quorlinth
