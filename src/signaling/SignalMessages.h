#pragma once

#include "base/Json.h"
#include "rtc/RTCTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// Largest signaling frame either role accepts (70 KiB).
inline constexpr size_t kMaxSignalMessageBytes = 71680;
// Remote candidates kept while the remote description is not set yet.
inline constexpr size_t kMaxEarlyCandidates = 256;

// One trickled candidate; `sdpMid` is nullopt when the sender had none.
struct IceCandidate {
    std::string candidate;
    std::optional<std::string> sdpMid;
    int32_t sdpMLineIndex = 0;
    bool operator==(const IceCandidate&) const = default;
};

// A controller's "request" as the host reads it.
struct SignalRequest {
    std::string sessionID;
    std::string controllerID; // empty for guests
    std::string name;
    bool guest = false;
    std::vector<RTCIceServer> iceServers;
};

// The signaling URL for a service base: "wss" for https, "ws" otherwise; nullopt when no
// URL can be formed.
std::optional<std::string> signalingURL(const std::string& base);

// The message's "type", or empty when missing or not a string.
std::string signalType(const Json& message);
// The message's "session_id", or nullopt when missing or not a string.
std::optional<std::string> signalSessionID(const Json& message);

// Entries without an array of strings under "urls" are skipped; order is kept.
std::vector<RTCIceServer> parseIceServers(const Json& message);
SignalRequest parseSignalRequest(const Json& message);
// The TURN servers of a list for the log: "host:port/transport, ..." or "无（只能直连）".
std::string relaySummary(const std::vector<RTCIceServer>& servers);
// nullopt when "candidate" is missing or "sdp_mline_index" is outside 32 bits.
std::optional<IceCandidate> parseIceCandidate(const Json& message);

Json makeSignal(const std::string& type, const std::string& sessionID);
Json makeSdpSignal(const std::string& type, const std::string& sessionID, const std::string& sdp);
Json makeIceSignal(const std::string& sessionID, const IceCandidate& candidate);

// A reply to a session-creation request.
struct SessionCreationReply {
    std::optional<std::string> sessionID;
    std::string platform;
    std::string name;
    bool viewOnly = false;
};
SessionCreationReply parseSessionCreationReply(const Json& body);

// Session-creation error codes (and transport conditions) worth retrying.
bool isRetryableSessionError(const std::string& code);

} // namespace quorlinth
