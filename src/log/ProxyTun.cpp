#include "log/ProxyTun.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace quorlinth {

namespace {

bool hasTunName(const std::string& name) {
    return name.rfind("utun", 0) == 0 || name.rfind("tun", 0) == 0;
}

// 198.18.0.0/15, the benchmark range proxy tools assign to their TUN devices.
bool inProxyRange(const std::array<uint8_t, 4>& address) {
    return address[0] == 198 && (address[1] == 18 || address[1] == 19);
}

} // namespace

std::optional<std::string> findProxyTun(const std::vector<InterfaceRecord>& interfaces) {
    for (const InterfaceRecord& record : interfaces) {
        if (record.up && record.ipv4 && hasTunName(record.name) && inProxyRange(*record.ipv4))
            return record.name;
    }
    return std::nullopt;
}

std::vector<InterfaceRecord> systemInterfaces() {
    std::vector<InterfaceRecord> records;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return records;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        InterfaceRecord record;
        record.name = entry->ifa_name ? entry->ifa_name : "";
        record.up = (entry->ifa_flags & IFF_UP) != 0;
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            const uint32_t value = ntohl(address->sin_addr.s_addr);
            record.ipv4 =
                std::array<uint8_t, 4>{static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                                       static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        }
        records.push_back(std::move(record));
    }
    freeifaddrs(list);
    return records;
}

std::optional<std::string> proxyTunInterface() {
    return findProxyTun(systemInterfaces());
}

} // namespace quorlinth
