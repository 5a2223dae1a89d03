#include "lan/MacLANBrowser.h"

#include "account/SavedAccountOrder.h"
#include "base/WeakCallback.h"
#include "lan/LANPeerName.h"
#include "lan/MacLANHost.h"

#include <algorithm>
#include <fstream>
#include <unistd.h>

namespace quorlinth {

std::shared_ptr<MacLANBrowser> MacLANBrowser::create(ServiceDiscovery& discovery, std::string ownName,
                                                     Dispatcher* main) {
    return std::shared_ptr<MacLANBrowser>(
        new MacLANBrowser(discovery, std::move(ownName), main ? *main : mainQueue()));
}

MacLANBrowser::MacLANBrowser(ServiceDiscovery& discovery, std::string ownName, Dispatcher& main)
    : discovery(discovery), ownName(std::move(ownName)), main(main) {}

void MacLANBrowser::start() {
    if (browser) return;
    browser = discovery.browse(
        kLANServiceType,
        weakCallback<std::vector<DiscoveredService>>(
            weak_from_this(), main,
            [](MacLANBrowser& self, std::vector<DiscoveredService> services) { self.update(services); }));
}

void MacLANBrowser::update(const std::vector<DiscoveredService>& services) {
    std::vector<Found> list;
    for (const auto& service : services)
        if (service.name != ownName) list.push_back({peerName(service.name), {service.host, service.port}});
    std::stable_sort(list.begin(), list.end(),
                     [](const Found& a, const Found& b) { return usernameOrderedBefore(a.name, b.name); });
    if (list == current) return;
    current = std::move(list);
    if (onChange) onChange(current);
}

std::string localComputerName() {
    std::ifstream machineInfo("/etc/machine-info");
    std::string line;
    while (std::getline(machineInfo, line)) {
        if (line.rfind("PRETTY_HOSTNAME=", 0) != 0) continue;
        std::string value = line.substr(16);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty()) return value;
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0]) return host;
    return "Mac";
}

} // namespace quorlinth
