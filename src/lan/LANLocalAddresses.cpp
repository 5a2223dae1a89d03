#include "lan/LANLocalAddresses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace quorlinth {

namespace {

// Linux names for the interfaces a LAN runs over: predictable and legacy wired names,
// wireless, and bridges (virtual machines and containers hide behind those).
bool lanInterfaceName(const std::string& name) {
    for (const char* prefix : {"en", "eth", "wl", "br", "bridge"})
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

} // namespace

std::vector<std::string> lanAddresses(const std::vector<LANInterfaceAddress>& interfaces) {
    std::vector<std::string> addresses;
    for (const auto& entry : interfaces)
        if (entry.up && !entry.loopback && !entry.ipv4.empty() && lanInterfaceName(entry.name))
            addresses.push_back(entry.ipv4);
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

std::vector<LANInterfaceAddress> systemInterfaceAddresses() {
    std::vector<LANInterfaceAddress> list;
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0) return list;
    for (ifaddrs* entry = head; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name) continue;
        LANInterfaceAddress item{entry->ifa_name, (entry->ifa_flags & IFF_UP) != 0,
                                 (entry->ifa_flags & IFF_LOOPBACK) != 0, ""};
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) item.ipv4 = text;
        }
        list.push_back(std::move(item));
    }
    freeifaddrs(head);
    return list;
}

std::vector<std::string> localLANAddresses() {
    return lanAddresses(systemInterfaceAddresses());
}

} // namespace quorlinth
