#pragma once

#include "base/Scheduler.h"

#include <functional>
#include <string>
#include <vector>

namespace quorlinth {

// The local network path: whether traffic can leave, through which kind of interface, and
// what is available. Value type shared by the monitor and the path description.
struct NetworkPath {
    enum class Status { satisfied, requiresConnection, unsatisfied };
    enum class InterfaceKind { wifi, wired, cellular, loopback, other };
    struct Interface {
        InterfaceKind kind;
        std::string name;
        bool operator==(const Interface&) const = default;
    };
    Status status = Status::unsatisfied;
    std::vector<InterfaceKind> usedKinds; // kinds the path uses
    std::vector<Interface> available;
    bool expensive = false, constrained = false, supportsIPv4 = false, supportsIPv6 = false;
    bool operator==(const NetworkPath&) const = default;
};

// Reports the path at start and whenever it changes, on the dispatcher given to start().
class NetworkPathMonitor {
public:
    virtual ~NetworkPathMonitor() = default;
    virtual void start(Dispatcher& queue, std::function<void(const NetworkPath&)> update) = 0;
    virtual void cancel() = 0;
    virtual NetworkPath currentPath() const = 0;
};

} // namespace quorlinth
