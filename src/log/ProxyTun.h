#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// One entry of the system's interface address list.
struct InterfaceRecord {
    std::string name;
    bool up = false;
    std::optional<std::array<uint8_t, 4>> ipv4; // absent for non-IPv4 addresses
};

// The first interface that is up, has an IPv4 address in 198.18.0.0/15 and a name beginning
// with "utun" or "tun": the mark of a proxy tool's TUN device.
std::optional<std::string> findProxyTun(const std::vector<InterfaceRecord>& interfaces);

// The system's interface address list (getifaddrs); empty when it cannot be read.
std::vector<InterfaceRecord> systemInterfaces();

// findProxyTun over systemInterfaces().
std::optional<std::string> proxyTunInterface();

} // namespace quorlinth
