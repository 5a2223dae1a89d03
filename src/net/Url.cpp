#include "net/Url.h"

#include <algorithm>
#include <cctype>

namespace quorlinth::net {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string defaultPort(std::string_view scheme) {
    return scheme == "https" || scheme == "wss" ? "443" : "80";
}

bool validPort(std::string_view port) {
    if (port.empty() || port.size() > 5) return false;
    if (!std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })) return false;
    int value = std::stoi(std::string(port));
    return value >= 1 && value <= 65535;
}

bool validHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    return std::all_of(host.begin(), host.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_'; });
}

bool validTarget(std::string_view target) {
    // Printable ASCII without spaces; percent-escapes and the usual path characters pass.
    return std::all_of(target.begin(), target.end(), [](unsigned char c) { return c > 0x20 && c < 0x7F; }) &&
           target.find('#') == std::string_view::npos;
}

} // namespace

std::string Url::hostHeader() const {
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return port == defaultPort(scheme) ? shown : shown + ":" + port;
}

std::optional<Url> Url::parse(std::string_view text) {
    auto schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return std::nullopt;
    Url url;
    url.scheme = lower(text.substr(0, schemeEnd));
    if (url.scheme != "http" && url.scheme != "https" && url.scheme != "ws" && url.scheme != "wss")
        return std::nullopt;
    std::string_view rest = text.substr(schemeEnd + 3);
    auto authorityEnd = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view target = authorityEnd == std::string_view::npos ? "" : rest.substr(authorityEnd);
    if (authority.find('@') != std::string_view::npos) return std::nullopt;

    std::string_view host = authority;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            port = after.substr(1);
            if (!validPort(port)) return std::nullopt;
        }
        if (host.empty() || !std::all_of(host.begin(), host.end(), [](unsigned char c) {
                return std::isxdigit(c) || c == ':' || c == '.';
            }))
            return std::nullopt;
    } else {
        auto colon = authority.rfind(':');
        if (colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
            if (!validPort(port)) return std::nullopt;
        }
        if (!validHostName(host)) return std::nullopt;
    }
    if (!validTarget(target)) return std::nullopt;

    url.host = lower(host);
    url.port = port.empty() ? defaultPort(url.scheme) : std::string(port);
    url.target =
        target.empty() ? "/" : (target.front() == '?' ? "/" + std::string(target) : std::string(target));
    return url;
}

} // namespace quorlinth::net
