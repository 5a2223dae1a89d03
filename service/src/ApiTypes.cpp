#include "ApiTypes.h"

#include <algorithm>

namespace quorlinth::service {

ApiResponse errorResponse(int status, std::string_view code, Json extra) {
    Json body = extra.is_object() ? std::move(extra) : Json::object();
    body["error"] = std::string(code);
    return {status, std::move(body), {}};
}

void fail(int status, std::string code, Json extra) {
    throw ApiFailure{status, std::move(code), std::move(extra)};
}

ApiResponse busyResponse(int64_t retryAfter) {
    ApiResponse response = errorResponse(503, "service_busy", Json{{"retry_after", retryAfter}});
    response.retryAfter = retryAfter;
    return response;
}

void failRateLimited(int64_t retryAfter) {
    retryAfter = std::max<int64_t>(retryAfter, 1);
    throw ApiFailure{429, "rate_limited", Json{{"retry_after", retryAfter}}, retryAfter};
}

Json parseBody(const ApiRequest& request) {
    auto body = parseJsonObject(request.body);
    if (!body) fail(400, "invalid_json");
    return std::move(*body);
}

namespace {

[[noreturn]] void invalidField(std::string_view key) {
    fail(400, "invalid_request", Json{{"field", std::string(key)}});
}

} // namespace

std::string requireString(const Json& body, std::string_view key, size_t maxBytes) {
    auto value = field::string(body, key);
    if (!value || value->size() > maxBytes) invalidField(key);
    return std::move(*value);
}

bool requireBool(const Json& body, std::string_view key) {
    auto value = field::boolean(body, key);
    if (!value) invalidField(key);
    return *value;
}

std::string optionalString(const Json& body, std::string_view key, std::string fallback, size_t maxBytes) {
    if (!body.contains(key)) return fallback;
    return requireString(body, key, maxBytes);
}

bool optionalBool(const Json& body, std::string_view key, bool fallback) {
    if (!body.contains(key)) return fallback;
    return requireBool(body, key);
}

} // namespace quorlinth::service
