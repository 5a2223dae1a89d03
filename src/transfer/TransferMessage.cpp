#include "transfer/TransferMessage.h"

#include "base/Json.h"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace quorlinth {

namespace {

using Type = TransferMessage::Type;

constexpr std::array<std::pair<std::string_view, Type>, 11> kTypeNames{{
    {"hello", Type::hello},
    {"clip", Type::clip},
    {"files", Type::files},
    {"pull", Type::pull},
    {"offer", Type::offer},
    {"accept", Type::accept},
    {"reject", Type::reject},
    {"end", Type::end},
    {"done", Type::done},
    {"fail", Type::fail},
    {"cancel", Type::cancel},
}};

std::optional<Type> typeNamed(std::string_view name) {
    for (const auto& [text, type] : kTypeNames)
        if (text == name) return type;
    return std::nullopt;
}

std::string_view nameOf(Type type) {
    for (const auto& [text, candidate] : kTypeNames)
        if (candidate == type) return text;
    return "";
}

// A JSON number as a byte count: fractions cut, clamped to 0 ... 2^63 - 1.
int64_t sizeFrom(double number) {
    if (std::isnan(number) || number <= 0) return 0;
    if (number >= 9.2e18) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(number);
}

std::vector<RemoteFile> readItems(const Json& message) {
    std::vector<RemoteFile> items;
    const Json* list = field::array(message, "items");
    if (!list) return items;
    for (const Json& item : *list) {
        if (items.size() == TransferMessage::kMaxItems) break;
        if (!item.is_object()) continue;
        auto name = field::string(item, "name");
        auto size = field::number(item, "size");
        if (name && size) items.push_back({*name, sizeFrom(*size)});
    }
    return items;
}

std::string withType(Type type, Json body) {
    body["t"] = std::string(nameOf(type));
    return dumpJson(body);
}

} // namespace

std::optional<TransferMessage> TransferMessage::read(std::string_view frame) {
    if (frame.size() > kMaxTextMessage) return std::nullopt;
    auto json = parseJsonObject(frame);
    if (!json) return std::nullopt;
    auto type = typeNamed(field::string(*json, "t").value_or(""));
    if (!type) return std::nullopt;

    TransferMessage message;
    message.type = *type;
    message.id = field::string(*json, "id").value_or("");
    switch (*type) {
    case Type::hello:
        message.enabled = field::boolean(*json, "enabled").value_or(false);
        break;
    case Type::clip:
        message.text = field::string(*json, "text").value_or("");
        if (message.text.empty() || message.text.size() > kMaxClipText) return std::nullopt;
        break;
    case Type::files:
        message.items = readItems(*json);
        break;
    case Type::offer: {
        auto id = field::string(*json, "id");
        auto name = field::string(*json, "name");
        auto size = field::int64(*json, "size");
        if (!id || !name || !size || *size < 0) return std::nullopt;
        message.name = *name;
        message.size = *size;
        message.clip = field::boolean(*json, "clip").value_or(false);
        break;
    }
    case Type::reject:
        message.reason = field::string(*json, "reason").value_or("");
        break;
    case Type::end:
        message.sha256 = field::string(*json, "sha256").value_or("");
        break;
    case Type::pull:
    case Type::accept:
    case Type::done:
    case Type::fail:
    case Type::cancel:
        break;
    }
    return message;
}

std::string TransferMessage::hello(bool enabled) {
    return withType(Type::hello, {{"enabled", enabled}});
}

std::string TransferMessage::clipText(const std::string& text) {
    return withType(Type::clip, {{"text", text}});
}

std::string TransferMessage::files(const std::vector<RemoteFile>& items) {
    Json list = Json::array();
    for (const auto& item : items)
        list.push_back({{"name", item.name}, {"size", item.size}});
    return withType(Type::files, {{"items", list}});
}

std::string TransferMessage::pull() {
    return withType(Type::pull, Json::object());
}

std::string TransferMessage::offer(const std::string& id, const std::string& name, int64_t size, bool clip) {
    return withType(Type::offer, {{"id", id}, {"name", name}, {"size", size}, {"clip", clip}});
}

std::string TransferMessage::reject(const std::string& id, const std::string& reason) {
    return withType(Type::reject, {{"id", id}, {"reason", reason}});
}

std::string TransferMessage::end(const std::string& id, const std::string& sha256) {
    return withType(Type::end, {{"id", id}, {"sha256", sha256}});
}

std::string TransferMessage::answer(Type type, const std::string& id) {
    return withType(type, {{"id", id}});
}

} // namespace quorlinth
