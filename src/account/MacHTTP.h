#pragma once

#include "account/MacFailure.h"
#include "account/MacServiceConfig.h"
#include "base/Json.h"
#include "base/Scheduler.h"
#include "net/HttpClient.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

// The one client for the account service's HTTP API: a path, a method, an optional bearer
// token and an optional JSON object become one request; the answer becomes a JSON object or
// a MacFailure. Completions run on the dispatcher given at creation (the main queue).
class MacHTTP {
public:
    static constexpr size_t kMaxResponseBytes = 0x80000;
    static constexpr Millis kTimeout{15'000};

    using Completion = std::function<void(MacResult<Json>)>;

    MacHTTP(MacServiceConfig config, const Dispatcher& completions);

    // `base` without trailing slash, `path` beginning with "/", `token` empty for none.
    void request(const std::string& base, const std::string& path, const std::string& method,
                 const std::string& token, const std::optional<Json>& body, Completion done);

    const MacServiceConfig& config() const { return service; }

    // The request as it goes on the wire (exposed for tests).
    static MacResult<net::HttpRequest> buildRequest(const MacServiceConfig& config, const std::string& base,
                                                    const std::string& path, const std::string& method,
                                                    const std::string& token,
                                                    const std::optional<Json>& body);
    // The response rules, in order: size, JSON, object, status, error code.
    static MacResult<Json> interpretResponse(const net::HttpResponse& response);
    // The user-facing text of a known service error code.
    static std::optional<std::string> serviceErrorMessage(std::string_view code);

private:
    net::HttpClient& session();

    MacServiceConfig service;
    std::weak_ptr<Scheduler> completions;
    std::unique_ptr<net::HttpClient> client; // created on first use
};

} // namespace quorlinth
