#pragma once

#include "base/Json.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorlinth::testing {

// A TCP proxy on 127.0.0.1 between the share host and the service that sees what the host
// says: its HTTP requests (the heartbeat) and, on signaling sockets, its text messages and
// close codes. Towards the host it can slip extra text messages between the service's own
// (messages the service would never relay), and it can make the open connections go silent
// or drop them.
class SignalTap {
public:
    struct HttpRequest {
        std::string method, path, head, body;
        // A header's value ("" when absent); names compare without case.
        std::string header(const std::string& name) const;
    };

    explicit SignalTap(uint16_t servicePort);
    ~SignalTap();
    SignalTap(const SignalTap&) = delete;
    SignalTap& operator=(const SignalTap&) = delete;

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(listenPort); }

    // Snapshots, in arrival order.
    std::vector<HttpRequest> requests() const;
    std::vector<Json> hostMessages() const;    // text messages the host sent (all sockets)
    std::vector<Json> serviceMessages() const; // text messages the service sent the host
    std::vector<uint16_t> hostCloseCodes() const;
    int hostPings() const;
    int signalingConnections() const;

    // Sends a text message to the host on the newest signaling socket, at a message boundary.
    bool injectToHost(const Json& message);
    // Stops forwarding on every connection open now; later connections flow normally.
    void silenceOpenConnections();
    // Closes every connection open now, as a service going away would.
    void dropOpenConnections();

    struct Connection;

private:
    void acceptLoop();
    void pumpFromHost(const std::shared_ptr<Connection>& connection);
    void pumpFromService(const std::shared_ptr<Connection>& connection);
    void readHostBytes(Connection& connection, const std::string& bytes);
    void readHttpRequests(Connection& connection);
    void readHostFrames(Connection& connection);
    void forwardServiceFrames(Connection& connection);

    uint16_t servicePort;
    uint16_t listenPort = 0;
    int listener = -1;
    std::thread acceptor;

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Connection>> connections;
    std::vector<std::thread> pumps;
    std::vector<HttpRequest> httpRequests;
    std::vector<Json> fromHost, fromService;
    std::vector<uint16_t> closeCodes;
    int pings = 0;
};

} // namespace quorlinth::testing
