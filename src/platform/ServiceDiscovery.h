#pragma once

#include "platform/Displays.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth {

// One service found on the local network, resolved to a connectable address.
struct DiscoveredService {
    std::string name; // the service name as announced
    std::string host; // numeric address text
    uint16_t port = 0;
    bool operator==(const DiscoveredService&) const = default;
};

// Advertising and browsing services by multicast DNS in the default domain.
class ServiceDiscovery {
public:
    virtual ~ServiceDiscovery() = default;
    // Announces `name` for `type` (such as "_quorlinth._tcp") on `port`, without TXT record,
    // until the observation is destroyed. `onFailure` (any thread) reports an advertisement
    // that failed for good, as a Chinese description.
    virtual std::unique_ptr<Observation> publish(const std::string& name, const std::string& type,
                                                 uint16_t port,
                                                 std::function<void(std::string description)> onFailure) = 0;
    // Calls `update` (any thread) with every resolved service of `type`, each name once,
    // whenever that set changes, until the observation is destroyed.
    virtual std::unique_ptr<Observation>
    browse(const std::string& type, std::function<void(std::vector<DiscoveredService>)> update) = 0;
};

} // namespace quorlinth
