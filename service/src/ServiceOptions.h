#pragma once

#include "HttpServer.h"
#include "ServiceSettings.h"
#include "base/Result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::service {

// Where the service keeps its data: an SQLite file (--db PATH) or a PostgreSQL server that
// several nodes share (--database postgresql://...).
struct DatabaseLocation {
    std::filesystem::path file;
    std::string url;
    bool isServer() const { return !url.empty(); }
};

// quorlinth-service --listen HOST:PORT (--db PATH | --database URL) [--tls-cert F --tls-key F] [--dev]
//                   [--ice-config F] [--secret-file F] [--trusted-proxy ADDRESS]... [--set NAME=VALUE]...
//                   [--releases DIR] [--bus URL]
struct ServeOptions {
    ListenAddress listen;
    DatabaseLocation database;
    std::optional<TlsFiles> tls;
    bool development = false;
    std::optional<std::filesystem::path> iceConfig;
    std::filesystem::path secretFile; // default beside an SQLite file, PATH.key; required with --database
    std::vector<std::string> trustedProxies;
    std::optional<std::filesystem::path> releases; // published at /download/
    ServiceSettings settings;
};

// quorlinth-service add-user (--db PATH | --database URL) USERNAME PASSWORD [--phone P] [--dev]
struct AddUserOptions {
    DatabaseLocation database;
    std::string username;
    std::string password;
    std::string phone;
    bool development = false;
};

Result<ServeOptions> parseServeOptions(const std::vector<std::string>& arguments);
Result<AddUserOptions> parseAddUserOptions(const std::vector<std::string>& arguments);
Result<ListenAddress> parseListenAddress(const std::string& text);

extern const char* const kUsage;

} // namespace quorlinth::service
