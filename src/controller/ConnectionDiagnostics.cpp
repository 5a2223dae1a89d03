#include "controller/ConnectionDiagnostics.h"

#include "platform/SystemLog.h"

#include <cstdio>
#include <ctime>

namespace quorlinth {

namespace {

double uptimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

ConnectionDiagnostics& ConnectionDiagnostics::shared() {
    // Never destroyed: the clients' queues may still log while the process exits.
    static auto* instance = new ConnectionDiagnostics;
    return *instance;
}

void ConnectionDiagnostics::log(const std::string& text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.1fs ", uptimeSeconds());
    std::function<void(const std::string&)> sinkCopy;
    std::shared_ptr<SystemLog> systemLogCopy;
    {
        std::lock_guard guard(lock);
        lines.push_back(stamp + text);
        while (lines.size() > kMaxEvents)
            lines.pop_front();
        sinkCopy = sink;
        systemLogCopy = systemLog;
    }
    // Outside the lock: a slow file write must not block other loggers.
    if (sinkCopy) sinkCopy(text);
    if (systemLogCopy) systemLogCopy->write("Quorlinth connection: " + text);
}

void ConnectionDiagnostics::setSink(std::function<void(const std::string&)> newSink) {
    std::lock_guard guard(lock);
    sink = std::move(newSink);
}

void ConnectionDiagnostics::setSystemLog(std::shared_ptr<SystemLog> newSystemLog) {
    std::lock_guard guard(lock);
    systemLog = std::move(newSystemLog);
}

std::vector<std::string> ConnectionDiagnostics::events() const {
    std::lock_guard guard(lock);
    return {lines.begin(), lines.end()};
}

} // namespace quorlinth
