#pragma once

#include "base/MainQueue.h"
#include "lan/LANEndpoint.h"
#include "platform/ServiceDiscovery.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth {

// Lists the shared Macs that advertise the LAN service on the local network, in the order a
// file browser lists names, leaving out this Mac's own name. Main-thread bound; `found`
// follows the network's announcements for the object's lifetime.
class MacLANBrowser : public std::enable_shared_from_this<MacLANBrowser> {
public:
    struct Found {
        std::string name;
        LANEndpoint endpoint;
        bool operator==(const Found&) const = default;
    };

    static std::shared_ptr<MacLANBrowser> create(ServiceDiscovery& discovery, std::string ownName,
                                                 Dispatcher* main = nullptr);

    // Starts browsing once; later calls do nothing.
    void start();
    const std::vector<Found>& found() const { return current; }
    // After every change of `found`.
    std::function<void(const std::vector<Found>&)> onChange;

private:
    MacLANBrowser(ServiceDiscovery& discovery, std::string ownName, Dispatcher& main);
    void update(const std::vector<DiscoveredService>& services);

    ServiceDiscovery& discovery;
    std::string ownName;
    Dispatcher& main;
    std::unique_ptr<Observation> browser;
    std::vector<Found> current;
};

// This computer's name for others to see: the pretty host name when one is set, else the
// host name, else "Mac".
std::string localComputerName();

} // namespace quorlinth
