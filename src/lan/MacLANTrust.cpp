#include "lan/MacLANTrust.h"

#include "lan/LANEndpoint.h"

#include <algorithm>

namespace quorlinth {

namespace {

std::vector<MacLANTrust::Entry> decodeEntries(const std::optional<Bytes>& data) {
    if (!data) return {};
    Json array = Json::parse(data->begin(), data->end(), nullptr, false);
    if (!array.is_array()) return {};
    std::vector<MacLANTrust::Entry> entries;
    for (const Json& item : array) {
        auto key = field::string(item, "key");
        auto name = field::string(item, "name");
        if (!key || !name) return {}; // one bad entry makes the list undecodable
        entries.push_back({*key, *name, field::string(item, "displayName")});
    }
    return entries;
}

Bytes encodeEntries(const std::vector<MacLANTrust::Entry>& entries) {
    Json array = Json::array();
    for (const auto& entry : entries) {
        Json item = {{"key", entry.key}, {"name", entry.name}};
        if (entry.displayName) item["displayName"] = *entry.displayName;
        array.push_back(std::move(item));
    }
    return toBytes(dumpJson(array));
}

} // namespace

MacLANTrust::MacLANTrust(UserDefaults& defaults, std::string storeKey)
    : defaults(defaults), storeKey(std::move(storeKey)), list(decodeEntries(defaults.data(this->storeKey))) {}

bool MacLANTrust::contains(const std::string& key) const {
    return std::any_of(list.begin(), list.end(), [&](const Entry& entry) { return entry.key == key; });
}

void MacLANTrust::add(const std::string& key, const std::string& name) {
    std::erase_if(list, [&](const Entry& entry) { return entry.key == key; });
    list.push_back({key, name, std::nullopt});
    changed();
}

void MacLANTrust::removeKey(const std::string& key) {
    std::erase_if(list, [&](const Entry& entry) { return entry.key == key; });
    changed();
}

void MacLANTrust::removeName(const std::string& name) {
    std::erase_if(list, [&](const Entry& entry) { return entry.name == name; });
    changed();
}

void MacLANTrust::remember(const std::string& key, const std::string& name,
                           std::optional<std::string> displayName) {
    std::erase_if(list, [&](const Entry& entry) { return entry.name == name; });
    list.insert(list.begin(), Entry{key, name, std::move(displayName)});
    changed();
}

std::vector<MacLANTrust::Entry> MacLANTrust::validHosts() const {
    std::vector<Entry> valid;
    for (const auto& entry : list) {
        auto parsed = endpoint(entry.name);
        if (parsed && parsed->text() == entry.name) valid.push_back(entry);
    }
    return valid;
}

void MacLANTrust::changed() {
    defaults.set(storeKey, encodeEntries(list));
    if (onChange) onChange(list);
}

} // namespace quorlinth
