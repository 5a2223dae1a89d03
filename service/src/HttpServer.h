#pragma once

#include "ReleaseFolder.h"
#include "Router.h"
#include "ServiceContext.h"
#include "base/Result.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::service {

struct TlsFiles {
    std::filesystem::path certificateChain;
    std::filesystem::path privateKey;
};

struct ListenAddress {
    std::string host;
    uint16_t port = 0;
};

// HTTP/1.1 and the /v1/signal WebSocket on one port, plain or TLS. Network I/O runs on a
// few threads, each connection on its own strand; endpoint handlers that wait for SQLite
// run on a worker pool and password hashing on a bounded pool of its own, so that slow
// requests never hold up reads and writes, nor a flood of sign-ins the other endpoints.
class HttpServer {
public:
    // Requests from `trustedProxies` name their client in X-Forwarded-For; `releases`, when
    // given, is published read-only at /download/.
    HttpServer(ServiceContext& context, Router& router, std::vector<std::string> trustedProxies = {},
               std::optional<ReleaseFolder> releases = std::nullopt);
    ~HttpServer();

    // Binds and listens; answers the base URL, e.g. "http://127.0.0.1:41234".
    Result<std::string> listen(const ListenAddress& address, const std::optional<TlsFiles>& tls);
    // Calls `task` on a network thread every `period` until the server stops.
    void every(std::chrono::seconds period, std::function<void()> task);
    // Serves until stop() or SIGINT/SIGTERM.
    void run();
    void stop();

    struct Impl; // the Asio and Beast state, kept out of this header

private:
    std::unique_ptr<Impl> impl;
};

} // namespace quorlinth::service
