#include "model/MacSharingSettings.h"

#include "base/Json.h"
#include "store/UserDefaults.h"

namespace quorlinth {

namespace {

std::optional<MacSharingAccess> decodeEntry(const Json& entry) {
    if (!entry.is_object()) return std::nullopt;
    auto trusted = entry.find("trustedDevices");
    auto startAtLogin = field::boolean(entry, "startAtLogin");
    auto restoreInput = field::boolean(entry, "restoreInput");
    if (trusted == entry.end() || !trusted->is_array() || !startAtLogin || !restoreInput) return std::nullopt;
    MacSharingAccess access{{}, *startAtLogin, *restoreInput};
    for (const auto& id : *trusted) {
        if (!id.is_string()) return std::nullopt;
        access.trustedDevices.insert(id.get<std::string>());
    }
    return access;
}

} // namespace

MacSharingSettings::MacSharingSettings(UserDefaults& defaults, std::function<void(const std::string&)> log)
    : defaults(defaults), log(std::move(log)) {}

MacShareQuality MacSharingSettings::quality() const {
    if (auto raw = defaults.string(kQualityKey))
        if (auto quality = shareQualityFromRaw(*raw)) return *quality;
    auto old = defaults.string(kOldQualityKey);
    return old == "standard" ? MacShareQuality::standard : MacShareQuality::native;
}

void MacSharingSettings::setQuality(MacShareQuality quality) {
    defaults.set(kQualityKey, rawValue(quality));
}

MacSharingAccessMap MacSharingSettings::access() const {
    auto data = defaults.data(kAccessKey);
    if (!data) return {};
    auto decoded = decodeAccess(*data);
    if (!decoded) {
        log("共享访问设置无法读取，已按默认值处理");
        return {};
    }
    return *decoded;
}

void MacSharingSettings::setAccess(const MacSharingAccessMap& access) {
    defaults.set(kAccessKey, encodeAccess(access));
}

bool MacSharingSettings::allowTransfer() const {
    return defaults.boolean(kTransferKey).value_or(false);
}
void MacSharingSettings::setAllowTransfer(bool on) {
    defaults.set(kTransferKey, on);
}
bool MacSharingSettings::keepAwake() const {
    return defaults.boolean(kKeepAwakeKey).value_or(true);
}
void MacSharingSettings::setKeepAwake(bool on) {
    defaults.set(kKeepAwakeKey, on);
}

std::optional<MacSharingAccessMap> MacSharingSettings::decodeAccess(const Bytes& data) {
    auto object = parseJsonObject(toString(data));
    if (!object) return std::nullopt;
    MacSharingAccessMap access;
    for (const auto& [deviceID, entry] : object->items()) {
        auto decoded = decodeEntry(entry);
        if (!decoded) return std::nullopt;
        access.emplace(deviceID, std::move(*decoded));
    }
    return access;
}

Bytes MacSharingSettings::encodeAccess(const MacSharingAccessMap& access) {
    Json object = Json::object();
    for (const auto& [deviceID, entry] : access)
        object[deviceID] = Json{{"trustedDevices", entry.trustedDevices},
                                {"startAtLogin", entry.startAtLogin},
                                {"restoreInput", entry.restoreInput}};
    return toBytes(dumpJson(object));
}

} // namespace quorlinth
