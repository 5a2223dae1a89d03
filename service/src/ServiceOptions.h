#pragma once

#include "HttpServer.h"
#include "ServiceSettings.h"
#include "base/Result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::service {

// quorlinth-service --listen HOST:PORT --db PATH [--tls-cert F --tls-key F] [--dev] [--ice-config F]
//                   [--secret-file F] [--trusted-proxy ADDRESS]... [--set NAME=VALUE]... [--releases DIR]
struct ServeOptions {
    ListenAddress listen;
    std::filesystem::path database;
    std::optional<TlsFiles> tls;
    bool development = false;
    std::optional<std::filesystem::path> iceConfig;
    std::filesystem::path secretFile; // default: beside the database, PATH.key
    std::vector<std::string> trustedProxies;
    std::optional<std::filesystem::path> releases; // published at /download/
    ServiceSettings settings;
};

// quorlinth-service add-user --db PATH USERNAME PASSWORD [--phone P] [--dev]
struct AddUserOptions {
    std::filesystem::path database;
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
