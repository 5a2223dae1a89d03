#include "base/Json.h"

#include <cmath>
#include <limits>

namespace quorlinth {

namespace {

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

} // namespace

namespace field {

std::optional<std::string> string(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<bool> boolean(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

std::optional<double> number(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value || !value->is_number()) return std::nullopt;
    return value->get<double>();
}

std::optional<int64_t> int64(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    // nlohmann counts unsigned values as integers too: check them first.
    if (value->is_number_unsigned()) {
        uint64_t v = value->get<uint64_t>();
        if (v > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return int64_t(v);
    }
    if (value->is_number_integer()) return value->get<int64_t>();
    if (value->is_number_float()) {
        double v = value->get<double>();
        // 2^63 itself is not representable as int64.
        if (!std::isfinite(v) || v != std::trunc(v) || v < -9.223372036854775808e18 ||
            v >= 9.223372036854775808e18)
            return std::nullopt;
        return int64_t(v);
    }
    return std::nullopt;
}

std::optional<int32_t> int32(const Json& object, std::string_view key) {
    auto v = int64(object, key);
    if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return int32_t(*v);
}

const Json* object(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    return value && value->is_object() ? value : nullptr;
}

const Json* array(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    return value && value->is_array() ? value : nullptr;
}

} // namespace field

std::optional<Json> parseJsonObject(std::string_view text) {
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return std::nullopt;
    return parsed;
}

std::string dumpJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace quorlinth
