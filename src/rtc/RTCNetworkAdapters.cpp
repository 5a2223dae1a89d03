#include "rtc/RTCNetworkAdapters.h"

#include <arpa/inet.h>
#include <array>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace quorlinth {

std::vector<RTCNetworkInterface> localNetworkInterfaces() {
    std::vector<RTCNetworkInterface> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return result;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !(entry->ifa_flags & IFF_UP)) continue;
        char text[INET6_ADDRSTRLEN] = {};
        int family = entry->ifa_addr->sa_family;
        if (family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
        } else if (family == AF_INET6) {
            auto* address = &reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
            if (IN6_IS_ADDR_LINKLOCAL(address)) continue;
            inet_ntop(AF_INET6, address, text, sizeof text);
        } else {
            continue;
        }
        result.push_back({entry->ifa_name, text, (entry->ifa_flags & IFF_LOOPBACK) != 0,
                          (entry->ifa_flags & IFF_POINTOPOINT) != 0});
    }
    freeifaddrs(list);
    return result;
}

bool isVpnInterface(const RTCNetworkInterface& interface) {
    static const std::array<const char*, 7> prefixes = {"tun", "tap", "wg", "ppp", "ipsec", "utun", "vpn"};
    if (interface.pointToPoint) return true;
    for (const char* prefix : prefixes)
        if (interface.name.rfind(prefix, 0) == 0) return true;
    return false;
}

std::vector<std::string> usableAddresses(const std::vector<RTCNetworkInterface>& interfaces, bool ignoreVpn,
                                         bool ignoreLoopback) {
    std::vector<std::string> addresses;
    for (const auto& interface : interfaces) {
        if (ignoreLoopback && interface.loopback) continue;
        if (ignoreVpn && isVpnInterface(interface)) continue;
        addresses.push_back(interface.address);
    }
    return addresses;
}

} // namespace quorlinth
