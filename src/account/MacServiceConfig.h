#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quorlinth {

class UserDefaults;

// Where the account service lives. Credentials record `accountBaseURL`; requests go to
// `apiBaseURL`. Both are bases without a trailing slash.
struct MacServiceConfig {
    static constexpr const char* kAccountBaseURLKey = "service.accountBaseURL";
    static constexpr const char* kAPIBaseURLKey = "service.apiBaseURL";
    static constexpr const char* kCAFileKey = "service.caFile";
    // The service as `quorlinth-service` listens by default on this machine.
    static constexpr const char* kDefaultBaseURL = "http://127.0.0.1:47180";

    std::string accountBaseURL = kDefaultBaseURL;
    std::string apiBaseURL = kDefaultBaseURL;
    // An extra CA certificate for a service with a private certificate authority.
    std::optional<std::filesystem::path> caFile;

    // The user defaults' values, the defaults where a key is missing.
    static MacServiceConfig load(const UserDefaults& defaults);
    // As load(), but with both bases set to `named` when one is given (a service named on the
    // command line); the CA file still comes from the defaults.
    static MacServiceConfig load(const UserDefaults& defaults, const std::optional<std::string>& named);
    // Both bases set to one URL, as when the user names the service directly.
    static MacServiceConfig single(std::string base);

    // The base mapping rule: exactly `accountBaseURL` goes to `apiBaseURL`, anything else is
    // used unchanged.
    const std::string& mapBase(const std::string& base) const {
        return base == accountBaseURL ? apiBaseURL : base;
    }
    // Whether sessions of `base` belong to the service this build talks to.
    bool isServiceBase(const std::string& base) const { return mapBase(base) == apiBaseURL; }
};

} // namespace quorlinth
