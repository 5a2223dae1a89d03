#include "lan/LANEndpoint.h"

#include <algorithm>

namespace quorlinth {

namespace {

std::string_view trimmed(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::optional<uint16_t> portNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned value = std::stoul(std::string(text));
    if (value > 65535) return std::nullopt;
    return uint16_t(value);
}

} // namespace

std::optional<LANEndpoint> endpoint(std::string_view text) {
    text = trimmed(text);
    size_t colon = text.find(':');
    std::string_view host = text.substr(0, colon);
    if (host.empty()) return std::nullopt;
    if (colon == std::string_view::npos) return LANEndpoint{std::string(host), kLANPort};
    std::string_view rest = text.substr(colon + 1);
    if (rest.find(':') != std::string_view::npos) return std::nullopt;
    auto port = portNumber(rest);
    if (!port) return std::nullopt;
    return LANEndpoint{std::string(host), *port};
}

} // namespace quorlinth
