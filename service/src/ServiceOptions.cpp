#include "ServiceOptions.h"

#include <charconv>

namespace quorlinth::service {

const char* const kUsage =
    "usage: quorlinth-service --listen HOST:PORT --db PATH [--tls-cert FILE --tls-key FILE] [--dev]\n"
    "                         [--ice-config FILE] [--secret-file FILE] [--trusted-proxy ADDRESS]...\n"
    "                         [--set NAME=VALUE]... [--releases DIR]\n"
    "       quorlinth-service add-user --db PATH USERNAME PASSWORD [--phone PHONE] [--dev]\n";

namespace {

// Reads the value after an option, or fails naming the option.
Result<std::string> valueAfter(const std::vector<std::string>& arguments, size_t& index) {
    if (index + 1 >= arguments.size()) return Error{arguments[index] + " needs a value"};
    return arguments[++index];
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
            argument != "--trusted-proxy" && argument != "--set" && argument != "--releases")
            return Error{"unknown argument " + argument};
        auto value = valueAfter(arguments, i);
        if (!value) return Error{value.error()};
        if (argument == "--listen") {
            auto address = parseListenAddress(value.value());
            if (!address) return Error{address.error()};
            options.listen = address.value();
            haveListen = true;
        } else if (argument == "--db") {
            options.database = value.value();
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
    if (options.database.empty()) return Error{"--db is required"};
    if (certificate.has_value() != key.has_value()) return Error{"--tls-cert and --tls-key go together"};
    if (certificate) options.tls = TlsFiles{*certificate, *key};
    if (options.secretFile.empty()) options.secretFile = options.database.string() + ".key";
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
        } else if (argument == "--db" || argument == "--phone") {
            auto value = valueAfter(arguments, i);
            if (!value) return Error{value.error()};
            if (argument == "--db")
                options.database = value.value();
            else
                options.phone = value.value();
        } else if (argument.rfind("--", 0) == 0) {
            return Error{"unknown argument " + argument};
        } else {
            positional.push_back(argument);
        }
    }
    if (options.database.empty()) return Error{"--db is required"};
    if (positional.size() != 2) return Error{"add-user takes USERNAME and PASSWORD"};
    options.username = positional[0];
    options.password = positional[1];
    return options;
}

} // namespace quorlinth::service
