#pragma once

#include "rtc/RTCTypes.h"

#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// The engine's form of one ICE server URL: "stun://host:port" for STUN,
// "turn(s)://user:credential@host:port[?transport=tcp]" for TURN with user name and credential
// percent-encoded (time-limited user names hold a colon). None for a URL it cannot use.
struct RTCEngineIceServer {
    enum class Kind { stun, turn } kind;
    std::string uri;
};
std::optional<RTCEngineIceServer> engineIceServer(const std::string& url,
                                                  const std::optional<std::string>& username,
                                                  const std::optional<std::string>& credential);

std::string percentEncode(const std::string& text);

} // namespace quorlinth
