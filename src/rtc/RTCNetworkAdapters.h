#pragma once

#include <string>
#include <vector>

namespace quorlinth {

struct RTCNetworkInterface {
    std::string name;
    std::string address; // numeric IPv4 or IPv6
    bool loopback = false;
    bool pointToPoint = false;
};

// This machine's interface addresses (up, IPv4 and IPv6, link-local IPv6 excluded).
std::vector<RTCNetworkInterface> localNetworkInterfaces();

// Whether an interface looks like a VPN: point-to-point, or a tunnel by its name.
bool isVpnInterface(const RTCNetworkInterface& interface);

// The addresses ICE may gather on when VPN and/or loopback adapters are to be ignored.
std::vector<std::string> usableAddresses(const std::vector<RTCNetworkInterface>& interfaces, bool ignoreVpn,
                                         bool ignoreLoopback);

} // namespace quorlinth
