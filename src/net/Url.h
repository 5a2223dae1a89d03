#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorlinth::net {

// An absolute http, https, ws or wss URL split into what a connection needs.
struct Url {
    std::string scheme; // lower case
    std::string host;   // without brackets for IPv6 literals
    std::string port;   // explicit, or the scheme's default
    std::string target; // path and query, at least "/"

    bool secure() const { return scheme == "https" || scheme == "wss"; }
    // The Host header value: host, with the port only when it is not the default.
    std::string hostHeader() const;

    // Nullopt for anything that is not a well-formed absolute URL of those schemes
    // (user info, fragments, spaces and control characters are refused).
    static std::optional<Url> parse(std::string_view text);
};

} // namespace quorlinth::net
