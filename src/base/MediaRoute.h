#pragma once

#include <optional>
#include <string>

namespace quorlinth {

// The route media currently takes. Where it may be unknown, callers hold std::optional;
// limits lifted only on a direct route apply to relay and unknown alike.
enum class RTCMediaRoute { direct, relay };

inline std::string routeTitle(RTCMediaRoute route) {
    return route == RTCMediaRoute::direct ? "直连" : "TURN 中转";
}

inline bool isDirect(std::optional<RTCMediaRoute> route) {
    return route == RTCMediaRoute::direct;
}

} // namespace quorlinth
