#pragma once

#include "base/Json.h"
#include "base/Result.h"

#include <filesystem>
#include <string>
#include <vector>

namespace quorlinth::service {

// The STUN/TURN servers handed out with each session, read from a JSON file:
//   {"servers": [{"urls": ["stun:host:3478"]},
//                {"urls": ["turn:host:3478?transport=udp"], "secret": "…", "ttl": 3600}]}
// A server with "secret" gets time-limited credentials (the TURN REST scheme: user name
// "EXPIRY:NAME", credential base64(HMAC-SHA1(secret, user name))); one with "username" and
// "credential" passes them on as they are.
class IceConfig {
public:
    static Result<IceConfig> load(const std::filesystem::path& file);
    static Result<IceConfig> parse(const std::string& text);

    // The "ice_servers" array for one participant, named by its device id.
    Json serversFor(const std::string& name, int64_t now) const;

private:
    struct Server {
        std::vector<std::string> urls;
        std::string username;
        std::string credential;
        std::string secret;
        int64_t ttl = 3600;
    };
    std::vector<Server> servers;
};

} // namespace quorlinth::service
