#include "ServiceOptions.h"

#include <charconv>
#include <string_view>

namespace quorlinth::service {

const char* const kUsage =
    "usage: quorlinth-service --listen HOST:PORT (--db PATH | --database URL --secret-file FILE)\n"
    "                         [--tls-cert FILE --tls-key FILE] [--dev] [--ice-config FILE]\n"
    "                         [--secret-file FILE] [--trusted-proxy ADDRESS]... [--set NAME=VALUE]...\n"
    "                         [--releases DIR] [--bus URL]\n"
    "       quorlinth-service add-user (--db PATH | --database URL) USERNAME PASSWORD [--phone PHONE] "
    "[--dev]\n"
    "  --db PATH       an SQLite file, for a single node\n"
    "  --database URL  a PostgreSQL server shared by every node (postgresql://...)\n"
    "  --bus URL       a Redis server that carries signaling between nodes:\n"
    "                  redis://HOST[:PORT] | redis:///path/redis.sock\n";

namespace {

// Reads the value after an option, or fails naming the option.
Result<std::string> valueAfter(const std::vector<std::string>& arguments, size_t& index) {
    if (index + 1 >= arguments.size()) return Error{arguments[index] + " needs a value"};
    return arguments[++index];
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A password in the URL would show in the process list: it belongs in a password file.
bool carriesPassword(const std::string& url) {
    size_t start = url.find("://") + 3;
    size_t end = url.find_first_of("/?", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos) return true;
    size_t query = url.find('?');
    return query != std::string::npos && url.find("password=", query) != std::string::npos;
}

Result<void> setDatabaseUrl(DatabaseLocation& location, const std::string& url) {
    if (!startsWith(url, "postgresql://") && !startsWith(url, "postgres://"))
        return Error{"--database takes a postgresql:// URL"};
    if (carriesPassword(url))
        return Error{"--database must not carry a password: put it in a password file (PGPASSFILE)"};
    location.url = url;
    return {};
}

// Exactly one of --db and --database.
Result<void> checkDatabase(const DatabaseLocation& location) {
    if (!location.file.empty() && location.isServer()) return Error{"--db and --database exclude each other"};
    if (location.file.empty() && !location.isServer()) return Error{"--db or --database is required"};
    return {};
}

} // namespace

Result<ListenAddress> parseListenAddress(const std::string& text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return Error{"--listen takes HOST:PORT"};
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::string portText = text.substr(colon + 1);
    unsigned port = 0;
    auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() || port > 65535)
        return Error{"invalid port in --listen " + text};
    return ListenAddress{host, uint16_t(port)};
}

Result<ServeOptions> parseServeOptions(const std::vector<std::string>& arguments) {
    ServeOptions options;
    bool haveListen = false;
    std::optional<std::string> certificate, key;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--dev") {
            options.development = true;
            continue;
        }
        if (argument != "--listen" && argument != "--db" && argument != "--tls-cert" &&
            argument != "--tls-key" && argument != "--ice-config" && argument != "--secret-file" &&
            argument != "--trusted-proxy" && argument != "--set" && argument != "--releases" &&
            argument != "--database" && argument != "--bus")
            return Error{"unknown argument " + argument};
        auto value = valueAfter(arguments, i);
        if (!value) return Error{value.error()};
        if (argument == "--listen") {
            auto address = parseListenAddress(value.value());
            if (!address) return Error{address.error()};
            options.listen = address.value();
            haveListen = true;
        } else if (argument == "--db") {
            options.database.file = value.value();
        } else if (argument == "--database") {
            if (auto set = setDatabaseUrl(options.database, value.value()); !set) return Error{set.error()};
        } else if (argument == "--bus") {
            if (!startsWith(value.value(), "redis://")) return Error{"--bus takes a redis:// URL"};
            options.settings.busUrl = value.value();
        } else if (argument == "--tls-cert") {
            certificate = value.value();
        } else if (argument == "--tls-key") {
            key = value.value();
        } else if (argument == "--secret-file") {
            options.secretFile = value.value();
        } else if (argument == "--trusted-proxy") {
            options.trustedProxies.push_back(value.value());
        } else if (argument == "--releases") {
            options.releases = value.value();
        } else if (argument == "--set") {
            if (auto applied = applySetting(options.settings, value.value()); !applied)
                return Error{applied.error()};
        } else {
            options.iceConfig = value.value();
        }
    }
    if (!haveListen) return Error{"--listen is required"};
    if (auto checked = checkDatabase(options.database); !checked) return Error{checked.error()};
    if (certificate.has_value() != key.has_value()) return Error{"--tls-cert and --tls-key go together"};
    if (certificate) options.tls = TlsFiles{*certificate, *key};
    // Nodes sharing a database must share the key that SMS codes are stored under.
    if (options.database.isServer() && options.secretFile.empty())
        return Error{"--database needs --secret-file (the same file on every node)"};
    if (options.secretFile.empty()) options.secretFile = options.database.file.string() + ".key";
    options.settings.development = options.development;
    return options;
}

Result<AddUserOptions> parseAddUserOptions(const std::vector<std::string>& arguments) {
    AddUserOptions options;
    std::vector<std::string> positional;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--dev") {
            options.development = true;
        } else if (argument == "--db" || argument == "--database" || argument == "--phone") {
            auto value = valueAfter(arguments, i);
            if (!value) return Error{value.error()};
            if (argument == "--db") {
                options.database.file = value.value();
            } else if (argument == "--database") {
                if (auto set = setDatabaseUrl(options.database, value.value()); !set)
                    return Error{set.error()};
            } else {
                options.phone = value.value();
            }
        } else if (argument.rfind("--", 0) == 0) {
            return Error{"unknown argument " + argument};
        } else {
            positional.push_back(argument);
        }
    }
    if (auto checked = checkDatabase(options.database); !checked) return Error{checked.error()};
    if (positional.size() != 2) return Error{"add-user takes USERNAME and PASSWORD"};
    options.username = positional[0];
    options.password = positional[1];
    return options;
}

} // namespace quorlinth::service
