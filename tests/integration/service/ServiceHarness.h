#pragma once

#include "ServiceProcess.h"
#include "base/Json.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::testing {

class PostgresServer;
// The test program's PostgreSQL server, started when a test first needs it.
PostgresServer& sharedPostgres();

struct HttpReply {
    int status = 0; // 0: no HTTP answer at all
    std::string body;
    std::map<std::string, std::string> headers; // lower-case names
    Json json() const;
    std::string error() const; // the "error" code of the body, or ""
};

// A blocking HTTP/1.1 client for one service, optionally over TLS checked against a CA file.
class HttpClient {
public:
    explicit HttpClient(uint16_t port, std::optional<std::filesystem::path> caFile = std::nullopt)
        : port(port), caFile(std::move(caFile)) {}

    HttpReply request(const std::string& method, const std::string& path, const std::string& token = "",
                      const std::optional<Json>& body = std::nullopt,
                      const std::map<std::string, std::string>& headers = {});
    HttpReply requestText(const std::string& method, const std::string& path, const std::string& token,
                          const std::string& body, const std::map<std::string, std::string>& headers = {});
    // Sends bytes as they are on a fresh connection and answers what comes back before the
    // service closes it or `wait` passes.
    std::string rawExchange(const std::string& bytes,
                            std::chrono::milliseconds wait = std::chrono::seconds(5));

private:
    uint16_t port;
    std::optional<std::filesystem::path> caFile;
};

// Runs `count` requests at once, each on its own thread and connection; the answers in order.
std::vector<HttpReply> concurrently(int count, const std::function<HttpReply(int index)>& request);
// How many answers have the status (and error code, when given).
int countOf(const std::vector<HttpReply>& replies, int status, const std::string& error = "");

// A quorlinth-service on 127.0.0.1:0 started with extra arguments (limits set low for a test,
// production mode when `development` is false), optionally through a wrapper command such as
// prlimit, stopped with the object.
class TunedService {
public:
    // On `databaseUrl` (PostgreSQL) when given, else on an SQLite file in `dir`.
    TunedService(const TempDir& dir, const std::vector<std::string>& extraArguments, bool development = true,
                 const std::vector<std::string>& wrapper = {}, const std::string& databaseUrl = "");
    bool started() const { return boundPort != 0; }
    uint16_t port() const { return boundPort; }
    bool isRunning() { return process && process->running(); }
    std::string logText() const;

private:
    std::filesystem::path dir;
    std::unique_ptr<ChildProcess> process;
    uint16_t boundPort = 0;
};

// A device of the account: its id and device token.
struct BoundDevice {
    std::string id;
    std::string token;
};

// Registers an installation as a device of the account; empty fields when refused.
BoundDevice bindDevice(HttpClient& client, const std::string& accountToken, const std::string& installation,
                       const std::string& name, const std::string& platform = "macos");
// The device's heartbeat with the given readiness.
HttpReply sendHeartbeat(HttpClient& client, const BoundDevice& device, bool capture, bool input, bool webrtc);

// A signaling WebSocket client; frames are read on a background thread into a queue.
class SignalClient {
public:
    // Fails (nullptr) when the handshake is refused.
    static std::unique_ptr<SignalClient> connect(uint16_t port, const std::string& deviceToken,
                                                 const std::string& deviceId);
    ~SignalClient();

    void send(const Json& message);
    void sendText(const std::string& text);
    // The next text frame as JSON, or nullopt after `wait` or once the socket is closed.
    std::optional<Json> receive(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Skips frames until one of `type` arrives.
    std::optional<Json> receiveType(const std::string& type,
                                    std::chrono::milliseconds wait = std::chrono::seconds(5));
    bool waitClosed(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // The close code the service sent, once closed (0 when it sent none).
    int closeCode();
    void close();

    struct Impl;

private:
    explicit SignalClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl;
};

} // namespace quorlinth::testing
