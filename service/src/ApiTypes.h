#pragma once

#include "base/Json.h"

#include <string>
#include <string_view>

namespace quorlinth::service {

// One HTTP request as the endpoint handlers see it, independent of the transport.
struct ApiRequest {
    std::string method;
    std::string path; // without the query string
    std::string authorization;
    std::string body;
    std::string peerAddress; // the client's address (from a trusted proxy's header when behind one)
};

struct ApiResponse {
    int status = 200;
    Json body = Json::object();
    std::string allow;      // the "Allow" header of a 405 answer
    int64_t retryAfter = 0; // seconds, the "Retry-After" header of a 429 or 503 answer

    static ApiResponse ok(Json body = Json::object()) { return {200, std::move(body), {}}; }
};

// Every failure answer has this one shape: {"error": code} plus optional extra keys.
ApiResponse errorResponse(int status, std::string_view code, Json extra = Json::object());

// Thrown by request helpers and handlers to answer with an error; the router catches it.
// It never leaves the synchronous call of one request.
struct ApiFailure {
    int status;
    std::string code;
    Json extra = Json::object();
    int64_t retryAfter = 0;
};

[[noreturn]] void fail(int status, std::string code, Json extra = Json::object());

// 503 "service_busy" with "retry_after" and a Retry-After header: the server is saturated
// and the client should try again after that many seconds.
ApiResponse busyResponse(int64_t retryAfter);
// 429 "rate_limited" with "retry_after" and a Retry-After header.
[[noreturn]] void failRateLimited(int64_t retryAfter);

// The request body as a JSON object, or 400 "invalid_json".
Json parseBody(const ApiRequest& request);
// Required fields of the right JSON type, or 400 "invalid_request" naming the field.
std::string requireString(const Json& body, std::string_view key, size_t maxBytes = 256);
bool requireBool(const Json& body, std::string_view key);
// An optional field must still have the right type when present.
std::string optionalString(const Json& body, std::string_view key, std::string fallback,
                           size_t maxBytes = 256);
bool optionalBool(const Json& body, std::string_view key, bool fallback);

} // namespace quorlinth::service
