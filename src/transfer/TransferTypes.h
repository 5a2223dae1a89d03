#pragma once

#include "base/MediaRoute.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quorlinth {

// A file the peer proposes to send.
struct TransferOffer {
    std::string name;
    int64_t size = 0;
};

// A file the peer copied and offers for pulling.
struct RemoteFile {
    std::string name;
    int64_t size = 0;
    bool operator==(const RemoteFile&) const = default;
};

// How far the running transfer in one direction has come.
struct TransferProgress {
    bool incoming = false;
    std::string name;
    int64_t done = 0;
    int64_t total = 0;
    bool operator==(const TransferProgress&) const = default;
};

// The route as the link asks for it: limits lifted only on a direct route.
enum class TransferRoute : int { direct = 0, relay = 1, unknown = 2 };

inline TransferRoute transferRoute(std::optional<RTCMediaRoute> route) {
    if (!route) return TransferRoute::unknown;
    return *route == RTCMediaRoute::direct ? TransferRoute::direct : TransferRoute::relay;
}

} // namespace quorlinth
