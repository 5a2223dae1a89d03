#pragma once

#include "store/UserDefaults.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

inline constexpr const char* kLANTrustedControllersKey = "mac.lan.trustedControllers";
inline constexpr const char* kLANKnownHostsKey = "mac.lan.knownHosts";

// A persisted list of LAN keys: the controllers this shared Mac trusts, or the shared Macs
// this controller has met, per address. Main thread only; saved after every change.
class MacLANTrust {
public:
    struct Entry {
        std::string key;  // public key text
        std::string name; // controller name, or the address dialled as host:port
        std::optional<std::string> displayName;
        bool operator==(const Entry&) const = default;
    };

    MacLANTrust(UserDefaults& defaults, std::string storeKey);

    const std::vector<Entry>& entries() const { return list; }
    // Called after every change with the new list.
    std::function<void(const std::vector<Entry>&)> onChange;

    bool contains(const std::string& key) const;
    // Trusted-controller insert: replaces any entry of that key, appended at the end.
    void add(const std::string& key, const std::string& name);
    void removeKey(const std::string& key);
    void removeName(const std::string& name);
    // Known-host upsert: replaces any entry of that name, inserted first (most recent).
    void remember(const std::string& key, const std::string& name, std::optional<std::string> displayName);
    // Entries whose name is exactly the canonical host:port of a valid address.
    std::vector<Entry> validHosts() const;

private:
    void changed();

    UserDefaults& defaults;
    std::string storeKey;
    std::vector<Entry> list;
};

} // namespace quorlinth
