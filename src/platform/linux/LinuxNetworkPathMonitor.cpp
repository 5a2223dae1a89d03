#include "platform/linux/LinuxNetworkPathMonitor.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <set>
#include <sstream>

namespace quorlinth {

namespace {

using Kind = NetworkPath::InterfaceKind;

Kind kindOf(const std::string& name, unsigned flags) {
    if (flags & IFF_LOOPBACK) return Kind::loopback;
    if (std::filesystem::exists("/sys/class/net/" + name + "/wireless")) return Kind::wifi;
    for (const char* prefix : {"wwan", "rmnet"})
        if (name.rfind(prefix, 0) == 0) return Kind::cellular;
    for (const char* prefix : {"tun", "tap", "wg", "ppp", "utun", "ipsec", "vti"})
        if (name.rfind(prefix, 0) == 0) return Kind::other;
    if (std::filesystem::exists("/sys/class/net/" + name + "/device")) return Kind::wired;
    return Kind::other; // virtual links: bridges, veth, containers
}

// Interfaces holding an IPv4 (field 2 == 00000000) or IPv6 (::/0) default route.
std::set<std::string> defaultRouteInterfaces(bool& ipv4, bool& ipv6) {
    std::set<std::string> names;
    std::ifstream v4("/proc/net/route");
    std::string line;
    std::getline(v4, line); // header
    while (std::getline(v4, line)) {
        std::istringstream fields(line);
        std::string name, destination;
        fields >> name >> destination;
        if (destination == "00000000") {
            names.insert(name);
            ipv4 = true;
        }
    }
    std::ifstream v6("/proc/net/ipv6_route");
    while (std::getline(v6, line)) {
        std::istringstream fields(line);
        std::string destination, prefixLength, skip, name;
        fields >> destination >> prefixLength;
        for (int i = 0; i < 7; ++i)
            fields >> skip;
        fields >> name;
        if (destination == std::string(32, '0') && prefixLength == "00" && name != "lo") {
            names.insert(name);
            ipv6 = true;
        }
    }
    return names;
}

} // namespace

NetworkPath LinuxNetworkPathMonitor::readPath() {
    NetworkPath path;
    bool ipv4 = false, ipv6 = false;
    std::set<std::string> routed = defaultRouteInterfaces(ipv4, ipv6);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return path;
    std::set<std::string> seen;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name || !(entry->ifa_flags & IFF_UP) || !entry->ifa_addr) continue;
        int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        std::string name = entry->ifa_name;
        if (!seen.insert(name).second) continue;
        Kind kind = kindOf(name, entry->ifa_flags);
        path.available.push_back({kind, name});
        if (routed.count(name) &&
            std::find(path.usedKinds.begin(), path.usedKinds.end(), kind) == path.usedKinds.end())
            path.usedKinds.push_back(kind);
    }
    freeifaddrs(list);
    path.status = routed.empty() ? NetworkPath::Status::unsatisfied : NetworkPath::Status::satisfied;
    path.supportsIPv4 = ipv4;
    path.supportsIPv6 = ipv6;
    path.expensive =
        std::find(path.usedKinds.begin(), path.usedKinds.end(), Kind::cellular) != path.usedKinds.end();
    return path;
}

void LinuxNetworkPathMonitor::start(Dispatcher& queue, std::function<void(const NetworkPath&)> update) {
    auto check = [this, update] {
        NetworkPath now = readPath();
        {
            std::lock_guard guard(mutex);
            if (reported && now == last) return;
            reported = true;
            last = now;
        }
        update(now);
    };
    poll = queue.every(Millis(0), interval, check);
}

void LinuxNetworkPathMonitor::cancel() {
    poll.cancel();
}

NetworkPath LinuxNetworkPathMonitor::currentPath() const {
    std::lock_guard guard(mutex);
    return last;
}

} // namespace quorlinth
