#pragma once

#include "base/Json.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quorlinth::net {
class WebSocketClient;
}

namespace quorlinth::testing {

// A sharing host played by the test: the product's WebSocket client on the real service's
// signaling channel with a real device token; the test decides every answer.
class ScriptedHost {
public:
    // Connected and greeted with "ready", or nullptr.
    static std::unique_ptr<ScriptedHost> connect(const std::string& base, const std::string& deviceID,
                                                 const std::string& deviceToken);
    ~ScriptedHost();

    void send(const Json& message);
    // The next message of `type`, skipping others; nullopt after `wait` or once the socket ended.
    std::optional<Json> next(const std::string& type,
                             std::chrono::milliseconds wait = std::chrono::seconds(10));
    // Drops the socket as a host whose network went away would.
    void drop();

private:
    struct Inbox {
        std::mutex mutex;
        std::condition_variable arrived;
        std::deque<Json> messages;
        bool ended = false;
    };
    ScriptedHost();

    std::shared_ptr<Inbox> inbox;
    std::shared_ptr<net::WebSocketClient> socket;
};

} // namespace quorlinth::testing
