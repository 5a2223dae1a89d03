#pragma once

#include "base/Json.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// One ICE server: STUN ("stun:host:port") or TURN ("turn:host:port[?transport=tcp]",
// "turns:...") URLs sharing one user name and credential.
struct RTCIceServer {
    std::vector<std::string> urls;
    std::optional<std::string> username;
    std::optional<std::string> credential;
    bool operator==(const RTCIceServer&) const = default;
};

enum class RTCIceTransportPolicy { all, relay };

// Unified plan, bundle policy max-bundle and RTCP mux "require" are the only modes the engine
// runs, so they are not settings.
struct RTCConfiguration {
    std::vector<RTCIceServer> iceServers;
    RTCIceTransportPolicy iceTransportPolicy = RTCIceTransportPolicy::all;
    // Addresses ICE gathers on, e.g. "127.0.0.1" inside a test namespace. When empty the
    // factory's adapter rules choose.
    std::vector<std::string> localAddresses;
    // Stand-in for consent freshness: the connection is reported failed when nothing arrived
    // from the remote for this long after it had connected.
    std::chrono::milliseconds consentTimeout{30000};
};

enum class RTCSdpType { offer, answer };

struct RTCSessionDescription {
    RTCSdpType type = RTCSdpType::offer;
    std::string sdp;
};

struct RTCIceCandidate {
    std::string sdp; // the "candidate:..." line
    std::optional<std::string> sdpMid;
    int32_t sdpMLineIndex = 0;
};

// Numbers follow the W3C enumeration order, as logged by the sessions.
enum class RTCIceConnectionState : int {
    newState = 0,
    checking = 1,
    connected = 2,
    completed = 3,
    failed = 4,
    disconnected = 5,
    closed = 6
};
enum class RTCPeerConnectionState : int {
    newState = 0,
    connecting = 1,
    connected = 2,
    disconnected = 3,
    failed = 4,
    closed = 5
};
enum class RTCDataChannelState : int { connecting = 0, open = 1, closing = 2, closed = 3 };

// A STUN or TURN server that gave no candidate; codes as in the W3C ICE candidate error
// (701: server unreachable).
struct RTCIceGatheringError {
    std::string url;
    int errorCode = 0;
    std::string errorText;
};

// A codec as listed by codec factories and capabilities: name ("H264") and its SDP format
// parameters ("profile-level-id", "packetization-mode", ...).
struct RTCVideoCodecInfo {
    std::string name;
    std::map<std::string, std::string> parameters;
    bool operator==(const RTCVideoCodecInfo&) const = default;
};

enum class RTCDegradationPreference { balanced, maintainFramerate, maintainResolution };

struct RTCRtpEncodingParameters {
    std::optional<int64_t> maxBitrateBps;
    std::optional<int64_t> minBitrateBps;
    std::optional<double> maxFramerate;
};

struct RTCRtpParameters {
    std::vector<RTCRtpEncodingParameters> encodings;
    RTCDegradationPreference degradationPreference = RTCDegradationPreference::balanced;
};

// One statistics entry: its W3C type ("transport", "candidate-pair", "inbound-rtp", ...) and
// its values under W3C member names ("selectedCandidatePairId", "framesDecoded", ...).
// Values the engine cannot know are absent.
struct RTCStatistics {
    std::string id;
    std::string type;
    Json values = Json::object();
};
using RTCStatisticsReport = std::map<std::string, RTCStatistics>;

} // namespace quorlinth
