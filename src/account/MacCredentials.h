#pragma once

#include "base/Json.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

struct MacServiceConfig;

// One signed-in account on this machine: its tokens and this machine's binding as a device.
struct MacCredentials {
    std::string base;
    std::string username;
    std::string accountToken;
    int64_t expiresAt = 0; // Unix seconds
    std::string deviceID;
    std::string deviceToken;

    bool operator==(const MacCredentials&) const = default;

    Json toJson() const;
    // Every key is required with its JSON type; nullopt otherwise.
    static std::optional<MacCredentials> fromJson(const Json& value);
};

// The session key: base, "|", user name. The same user at the same base replaces itself.
std::string accountKey(const MacCredentials& credentials);

// Every stored sign-in and which one is active.
struct AccountSessions {
    std::optional<std::string> activeKey;
    std::map<std::string, MacCredentials> sessions;

    bool operator==(const AccountSessions&) const = default;

    Json toJson() const;
    // Requires "sessions"; a record that does not decode is left out rather than losing the
    // other accounts with it.
    static std::optional<AccountSessions> fromJson(const Json& value);
    // The stored item: this format, or a single credentials record of the earlier format,
    // which becomes the one active session.
    static std::optional<AccountSessions> decodeStored(std::string_view text);
};

// An entry of the account switcher.
struct SavedAccountChoice {
    std::string id; // session key
    std::string username;

    bool operator==(const SavedAccountChoice&) const = default;
};

// The sessions of this service, ordered by user name as people expect (numbers by value,
// case ignored).
std::vector<SavedAccountChoice> savedAccountChoices(const AccountSessions& sessions,
                                                    const MacServiceConfig& config);

} // namespace quorlinth
