#pragma once

#include "base/Encoding.h"
#include "capture/StreamProfile.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace quorlinth {

class UserDefaults;

// This machine's sharing settings for one account device.
struct MacSharingAccess {
    std::set<std::string> trustedDevices;
    bool startAtLogin = false;
    bool restoreInput = false;

    bool operator==(const MacSharingAccess&) const = default;
};

// Keyed by this machine's device id: one entry per account that has shared from here.
using MacSharingAccessMap = std::map<std::string, MacSharingAccess>;

// The persisted sharing choices: read once at start-up, written on every change.
class MacSharingSettings {
public:
    static constexpr const char* kQualityKey = "mac.share.quality.v2";
    static constexpr const char* kOldQualityKey = "mac.share.quality";
    static constexpr const char* kAccessKey = "mac.share.access";
    static constexpr const char* kTransferKey = "mac.share.transfer";
    static constexpr const char* kKeepAwakeKey = "mac.share.keepAwake";

    // `log` hears about values that could not be read (and were replaced by defaults).
    MacSharingSettings(UserDefaults& defaults, std::function<void(const std::string&)> log);

    // The saved quality; an older "standard" choice carries over, anything else means native.
    MacShareQuality quality() const;
    void setQuality(MacShareQuality quality);

    // Every entry, or none at all when any entry misses a field or has the wrong type.
    MacSharingAccessMap access() const;
    void setAccess(const MacSharingAccessMap& access);

    bool allowTransfer() const;
    void setAllowTransfer(bool on);
    bool keepAwake() const;
    void setKeepAwake(bool on);

    // The strict reading of a stored access record: nullopt when it cannot be read as a whole.
    static std::optional<MacSharingAccessMap> decodeAccess(const Bytes& data);
    static Bytes encodeAccess(const MacSharingAccessMap& access);

private:
    UserDefaults& defaults;
    std::function<void(const std::string&)> log;
};

} // namespace quorlinth
