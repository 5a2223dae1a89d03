#pragma once

#include "platform/NetworkPathMonitor.h"

#include <mutex>

namespace quorlinth {

// The path from the kernel's interface list (getifaddrs) and routing tables (/proc/net),
// polled every few seconds; an update is delivered only when the path changed.
class LinuxNetworkPathMonitor : public NetworkPathMonitor {
public:
    explicit LinuxNetworkPathMonitor(Millis pollInterval = Millis(3000)) : interval(pollInterval) {}
    void start(Dispatcher& queue, std::function<void(const NetworkPath&)> update) override;
    void cancel() override;
    NetworkPath currentPath() const override;

    // Reads the path now.
    static NetworkPath readPath();

private:
    Millis interval;
    Timer poll;
    mutable std::mutex mutex;
    NetworkPath last;
    bool reported = false;
};

} // namespace quorlinth
