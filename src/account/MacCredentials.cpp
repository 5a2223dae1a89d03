#include "account/MacCredentials.h"

#include "account/MacServiceConfig.h"
#include "account/SavedAccountOrder.h"

namespace quorlinth {

Json MacCredentials::toJson() const {
    return Json{{"base", base},           {"username", username}, {"accountToken", accountToken},
                {"expiresAt", expiresAt}, {"deviceID", deviceID}, {"deviceToken", deviceToken}};
}

std::optional<MacCredentials> MacCredentials::fromJson(const Json& value) {
    auto base = field::string(value, "base");
    auto username = field::string(value, "username");
    auto accountToken = field::string(value, "accountToken");
    auto expiresAt = field::int64(value, "expiresAt");
    auto deviceID = field::string(value, "deviceID");
    auto deviceToken = field::string(value, "deviceToken");
    if (!base || !username || !accountToken || !expiresAt || !deviceID || !deviceToken) return std::nullopt;
    return MacCredentials{*base, *username, *accountToken, *expiresAt, *deviceID, *deviceToken};
}

std::string accountKey(const MacCredentials& credentials) {
    return credentials.base + "|" + credentials.username;
}

Json AccountSessions::toJson() const {
    Json records = Json::object();
    for (const auto& [key, credentials] : sessions)
        records[key] = credentials.toJson();
    Json encoded{{"sessions", records}};
    if (activeKey) encoded["activeKey"] = *activeKey;
    return encoded;
}

std::optional<AccountSessions> AccountSessions::fromJson(const Json& value) {
    const Json* records = field::object(value, "sessions");
    if (!records) return std::nullopt;
    AccountSessions decoded;
    decoded.activeKey = field::string(value, "activeKey");
    for (const auto& [key, record] : records->items())
        if (auto credentials = MacCredentials::fromJson(record)) decoded.sessions.emplace(key, *credentials);
    return decoded;
}

std::optional<AccountSessions> AccountSessions::decodeStored(std::string_view text) {
    auto object = parseJsonObject(text);
    if (!object) return std::nullopt;
    if (auto sessions = fromJson(*object)) return sessions;
    auto single = MacCredentials::fromJson(*object);
    if (!single) return std::nullopt;
    std::string key = accountKey(*single);
    return AccountSessions{key, {{key, *single}}};
}

std::vector<SavedAccountChoice> savedAccountChoices(const AccountSessions& sessions,
                                                    const MacServiceConfig& config) {
    std::vector<SavedAccountChoice> choices;
    for (const auto& [key, credentials] : sessions.sessions)
        if (config.isServiceBase(credentials.base)) choices.push_back({key, credentials.username});
    sortByUsername(choices);
    return choices;
}

} // namespace quorlinth
