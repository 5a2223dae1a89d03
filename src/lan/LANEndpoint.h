#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

inline constexpr uint16_t kLANPort = 47120;

// A LAN address as typed or found: a host name or IPv4 address (unresolved) and a port.
struct LANEndpoint {
    std::string host;
    uint16_t port = kLANPort;

    // host, ":", port: the form known hosts are stored under.
    std::string text() const { return host + ":" + std::to_string(port); }
    bool operator==(const LANEndpoint&) const = default;
};

// "host" or "host:port" with spaces and tabs trimmed; nullopt for an empty host, an empty,
// non-decimal or out-of-range port, or more than one colon (so IPv6 literals are refused).
std::optional<LANEndpoint> endpoint(std::string_view text);

} // namespace quorlinth
