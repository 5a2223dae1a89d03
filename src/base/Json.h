#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

using Json = nlohmann::json;

// Typed reads of wire messages: a field that is missing, or of the wrong JSON type,
// counts as absent (nullopt) so the caller takes its default.
namespace field {

std::optional<std::string> string(const Json& object, std::string_view key);
std::optional<bool> boolean(const Json& object, std::string_view key);
// Any JSON number.
std::optional<double> number(const Json& object, std::string_view key);
// A whole number (an integer, or a float with no fraction) within 64 bits.
std::optional<int64_t> int64(const Json& object, std::string_view key);
// As int64, but absent unless it fits in 32 bits.
std::optional<int32_t> int32(const Json& object, std::string_view key);
const Json* object(const Json& object, std::string_view key);
const Json* array(const Json& object, std::string_view key);

inline std::string string(const Json& object, std::string_view key, std::string fallback) {
    return string(object, key).value_or(std::move(fallback));
}
inline bool boolean(const Json& object, std::string_view key, bool fallback) {
    return boolean(object, key).value_or(fallback);
}
inline double number(const Json& object, std::string_view key, double fallback) {
    return number(object, key).value_or(fallback);
}
inline int64_t int64(const Json& object, std::string_view key, int64_t fallback) {
    return int64(object, key).value_or(fallback);
}
inline int32_t int32(const Json& object, std::string_view key, int32_t fallback) {
    return int32(object, key).value_or(fallback);
}

} // namespace field

// Parses text that must hold one JSON object; nullopt for anything else. Never throws.
std::optional<Json> parseJsonObject(std::string_view text);

// Serialises without throwing: invalid UTF-8 in strings is replaced.
std::string dumpJson(const Json& value);

} // namespace quorlinth
