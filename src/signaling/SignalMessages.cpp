#include "signaling/SignalMessages.h"

#include <cstdint>

namespace quorlinth {

std::optional<std::string> signalingURL(const std::string& base) {
    if (base.empty()) return std::nullopt;
    size_t schemeEnd = base.find("://");
    std::string rest = schemeEnd == std::string::npos ? base : base.substr(schemeEnd + 3);
    std::string scheme = schemeEnd == std::string::npos ? "" : base.substr(0, schemeEnd);
    if (rest.empty() || rest.find_first_of(" \t\r\n") != std::string::npos) return std::nullopt;
    return (scheme == "https" ? "wss://" : "ws://") + rest + "/v1/signal";
}

std::string signalType(const Json& message) {
    return field::string(message, "type", "");
}

std::optional<std::string> signalSessionID(const Json& message) {
    return field::string(message, "session_id");
}

std::vector<RTCIceServer> parseIceServers(const Json& message) {
    std::vector<RTCIceServer> servers;
    const Json* list = field::array(message, "ice_servers");
    if (!list) return servers;
    for (const Json& entry : *list) {
        const Json* urls = field::array(entry, "urls");
        if (!urls) continue;
        RTCIceServer server;
        bool allStrings = true;
        for (const Json& url : *urls) {
            if (!url.is_string()) {
                allStrings = false;
                break;
            }
            server.urls.push_back(url.get<std::string>());
        }
        if (!allStrings) continue;
        server.username = field::string(entry, "username");
        server.credential = field::string(entry, "credential");
        servers.push_back(std::move(server));
    }
    return servers;
}

SignalRequest parseSignalRequest(const Json& message) {
    SignalRequest request;
    request.sessionID = field::string(message, "session_id", "");
    request.guest = field::boolean(message, "guest", false);
    request.controllerID = request.guest ? "" : field::string(message, "controller_id", "");
    request.name = field::string(message, "name", "远程设备");
    request.iceServers = parseIceServers(message);
    return request;
}

std::string relaySummary(const std::vector<RTCIceServer>& servers) {
    std::string summary;
    for (const RTCIceServer& server : servers) {
        for (const std::string& url : server.urls) {
            if (url.rfind("turn", 0) != 0) continue;
            size_t colon = url.find(':');
            std::string address = colon == std::string::npos ? "" : url.substr(colon + 1);
            address = address.substr(0, address.find('?'));
            size_t transport = url.find("transport=");
            std::string protocol = transport == std::string::npos ? "udp" : url.substr(transport + 10);
            if (!summary.empty()) summary += ", ";
            summary += address + "/" + protocol;
        }
    }
    return summary.empty() ? "无（只能直连）" : summary;
}

std::optional<IceCandidate> parseIceCandidate(const Json& message) {
    auto candidate = field::string(message, "candidate");
    if (!candidate) return std::nullopt;
    int32_t index = 0;
    if (auto wide = field::int64(message, "sdp_mline_index")) {
        if (*wide < INT32_MIN || *wide > INT32_MAX) return std::nullopt; // never applied
        index = int32_t(*wide);
    }
    return IceCandidate{*candidate, field::string(message, "sdp_mid"), index};
}

Json makeSignal(const std::string& type, const std::string& sessionID) {
    return Json{{"type", type}, {"session_id", sessionID}};
}

Json makeSdpSignal(const std::string& type, const std::string& sessionID, const std::string& sdp) {
    Json message = makeSignal(type, sessionID);
    message["sdp"] = sdp;
    return message;
}

Json makeIceSignal(const std::string& sessionID, const IceCandidate& candidate) {
    Json message = makeSignal("ice", sessionID);
    message["candidate"] = candidate.candidate;
    message["sdp_mid"] = candidate.sdpMid.value_or("");
    message["sdp_mline_index"] = candidate.sdpMLineIndex;
    return message;
}

SessionCreationReply parseSessionCreationReply(const Json& body) {
    SessionCreationReply reply;
    reply.sessionID = field::string(body, "session_id");
    if (const Json* device = field::object(body, "device")) {
        reply.platform = field::string(*device, "platform", "");
        reply.name = field::string(*device, "name", "");
    }
    reply.viewOnly = field::boolean(body, "view_only", reply.platform == "ios");
    return reply;
}

bool isRetryableSessionError(const std::string& code) {
    return code == "device_offline" || code == "media_not_ready" || code == "device_busy";
}

} // namespace quorlinth
