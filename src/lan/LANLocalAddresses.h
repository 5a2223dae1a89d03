#pragma once

#include <string>
#include <vector>

namespace quorlinth {

// One entry of the system's interface address list, as the LAN settings need it.
struct LANInterfaceAddress {
    std::string name;
    bool up = false;
    bool loopback = false;
    std::string ipv4; // numeric text; empty for other families
};

// The addresses a controller on the same network can dial: IPv4 addresses of interfaces
// that are up, not loopback, and wired, wireless or bridge interfaces by name ("en", "eth",
// "wl", "br", "bridge"); without duplicates, in plain text order.
std::vector<std::string> lanAddresses(const std::vector<LANInterfaceAddress>& interfaces);

// The system's interface address list; empty when it cannot be read.
std::vector<LANInterfaceAddress> systemInterfaceAddresses();

// lanAddresses() of the system's list.
std::vector<std::string> localLANAddresses();

} // namespace quorlinth
