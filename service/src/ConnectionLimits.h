#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quorlinth::service {

// Caps what strangers can make the server hold: open connections (signaling sockets
// included) per client address and in total, and the bytes of request bodies being read
// at once. Trusted proxies carry many clients, so they count only towards the total.
class ConnectionLimits {
public:
    struct Caps {
        size_t connections = 0;
        size_t connectionsPerAddress = 0;
        uint64_t bodyBytes = 0;
    };
    ConnectionLimits(Caps caps, std::vector<std::string> trustedProxies);

    // Held by a connection for its whole life; releases its place when destroyed.
    class Slot {
    public:
        Slot(ConnectionLimits& limits, std::string address) : limits(limits), address(std::move(address)) {}
        ~Slot() { limits.release(address); }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

    private:
        ConnectionLimits& limits;
        std::string address;
    };

    // A place for a new connection from `address`, or nullptr when a cap is reached.
    std::shared_ptr<Slot> admit(const std::string& address);
    bool isTrustedProxy(const std::string& address) const { return trusted.count(address) > 0; }

    bool reserveBody(uint64_t bytes);
    void releaseBody(uint64_t bytes);

private:
    void release(const std::string& address);

    const Caps caps;
    const std::unordered_set<std::string> trusted;
    std::mutex mutex;
    size_t total = 0;
    std::unordered_map<std::string, size_t> perAddress;
    uint64_t bodyBytes = 0;
};

} // namespace quorlinth::service
