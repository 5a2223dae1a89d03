#pragma once

#include "base/Result.h"
#include "base/Scheduler.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorlinth::net {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url; // absolute http or https URL
    // Sent as given; Host and Content-Length are added from the URL and body.
    HttpHeaders headers;
    std::optional<std::string> body;
    Millis timeout{15'000};
    // Bodies above this size are not kept; the response then says bodyTooLarge.
    size_t maxBodyBytes = 8 * 1024 * 1024;
};

struct HttpResponse {
    unsigned status = 0;
    HttpHeaders headers;
    std::string body;
    bool bodyTooLarge = false;

    std::optional<std::string> header(std::string_view name) const; // case-insensitive
};

// An HTTP/1.1 client for one-shot requests: one connection per request, no cookies, no
// cache, and redirects are never followed (a 3xx answer is the response). Requests run
// concurrently on the client's own io thread; `done` is called there, once, unless the
// client is destroyed first (then pending requests are dropped without a call).
class HttpClient {
public:
    struct Options {
        std::string label = "quorlinth.http";
        std::optional<std::filesystem::path> extraCaFile;
    };

    explicit HttpClient(Options options);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    void send(HttpRequest request, std::function<void(Result<HttpResponse>)> done);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace quorlinth::net
