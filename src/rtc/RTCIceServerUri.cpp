#include "rtc/RTCIceServerUri.h"

#include <cctype>
#include <cstdio>

namespace quorlinth {

namespace {

bool validHostPort(const std::string& hostPort) {
    if (hostPort.empty()) return false;
    for (unsigned char c : hostPort)
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_'))
            return false;
    return true;
}

// Default ports per RFC 7064/7065 when the URL names none.
std::string withPort(const std::string& hostPort, bool secure) {
    bool bracketed = !hostPort.empty() && hostPort.front() == '[';
    auto closing = hostPort.find(']');
    bool hasPort = bracketed
                       ? hostPort.find(':', closing == std::string::npos ? 0 : closing) != std::string::npos
                       : hostPort.find(':') != std::string::npos;
    return hasPort ? hostPort : hostPort + (secure ? ":5349" : ":3478");
}

} // namespace

std::string percentEncode(const std::string& text) {
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            encoded += escape;
        }
    }
    return encoded;
}

std::optional<RTCEngineIceServer> engineIceServer(const std::string& url,
                                                  const std::optional<std::string>& username,
                                                  const std::optional<std::string>& credential) {
    auto colon = url.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string scheme = url.substr(0, colon);
    std::string rest = url.substr(colon + 1);
    if (rest.rfind("//", 0) == 0) rest = rest.substr(2);
    std::string query;
    if (auto question = rest.find('?'); question != std::string::npos) {
        query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    if (!validHostPort(rest)) return std::nullopt;
    if (scheme == "stun" || scheme == "stuns") {
        return RTCEngineIceServer{RTCEngineIceServer::Kind::stun, "stun://" + withPort(rest, false)};
    }
    if (scheme != "turn" && scheme != "turns") return std::nullopt;
    if (!username || !credential) return std::nullopt;
    std::string transport;
    if (query == "transport=tcp" || query == "transport=udp")
        transport = "?" + query;
    else if (!query.empty())
        return std::nullopt;
    return RTCEngineIceServer{RTCEngineIceServer::Kind::turn,
                              scheme + "://" + percentEncode(*username) + ":" + percentEncode(*credential) +
                                  "@" + withPort(rest, scheme == "turns") + transport};
}

} // namespace quorlinth
