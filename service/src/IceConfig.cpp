#include "IceConfig.h"

#include "Secrets.h"

#include <fstream>
#include <sstream>

namespace quorlinth::service {

Result<IceConfig> IceConfig::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Error{"cannot read ICE configuration " + file.string()};
    std::ostringstream text;
    text << in.rdbuf();
    auto parsed = parse(text.str());
    if (!parsed) return Error{file.string() + ": " + parsed.error()};
    return parsed;
}

Result<IceConfig> IceConfig::parse(const std::string& text) {
    auto root = parseJsonObject(text);
    if (!root) return Error{"not a JSON object"};
    const Json* list = field::array(*root, "servers");
    if (!list) return Error{"\"servers\" must be an array"};
    IceConfig config;
    for (const Json& entry : *list) {
        const Json* urls = field::array(entry, "urls");
        if (!urls || urls->empty()) return Error{"every server needs a non-empty \"urls\" array"};
        Server server;
        for (const Json& url : *urls) {
            if (!url.is_string()) return Error{"\"urls\" must hold strings"};
            server.urls.push_back(url.get<std::string>());
        }
        server.username = field::string(entry, "username", "");
        server.credential = field::string(entry, "credential", "");
        server.secret = field::string(entry, "secret", "");
        server.ttl = field::int64(entry, "ttl", 3600);
        if (server.ttl <= 0) return Error{"\"ttl\" must be positive"};
        config.servers.push_back(std::move(server));
    }
    return config;
}

Json IceConfig::serversFor(const std::string& name, int64_t now) const {
    Json list = Json::array();
    for (const Server& server : servers) {
        Json entry{{"urls", server.urls}};
        if (!server.secret.empty()) {
            std::string user = std::to_string(now + server.ttl) + ":" + name;
            entry["username"] = user;
            entry["credential"] = hmacSha1Base64(server.secret, user);
        } else if (!server.username.empty()) {
            entry["username"] = server.username;
            entry["credential"] = server.credential;
        }
        list.push_back(std::move(entry));
    }
    return list;
}

} // namespace quorlinth::service
