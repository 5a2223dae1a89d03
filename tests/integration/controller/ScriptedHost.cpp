#include "ScriptedHost.h"

#include "net/WebSocketClient.h"
#include "signaling/SignalMessages.h"

namespace quorlinth::testing {

ScriptedHost::ScriptedHost()
    : inbox(std::make_shared<Inbox>()),
      socket(std::make_shared<net::WebSocketClient>(net::WebSocketClient::Options{})) {}

ScriptedHost::~ScriptedHost() {
    socket->close(1000);
}

std::unique_ptr<ScriptedHost> ScriptedHost::connect(const std::string& base, const std::string& deviceID,
                                                    const std::string& deviceToken) {
    auto url = signalingURL(base);
    if (!url) return nullptr;
    std::unique_ptr<ScriptedHost> host(new ScriptedHost());
    net::WebSocketClient::Events events;
    // Events arrive on the socket's io thread; the inbox outlives the host object.
    events.onText = [inbox = host->inbox](std::string text) {
        auto message = parseJsonObject(text);
        if (!message) return;
        std::lock_guard lock(inbox->mutex);
        inbox->messages.push_back(std::move(*message));
        inbox->arrived.notify_all();
    };
    events.onFailure = [inbox = host->inbox](net::WebSocketFailure) {
        std::lock_guard lock(inbox->mutex);
        inbox->ended = true;
        inbox->arrived.notify_all();
    };
    host->socket->connect(*url, {{"Authorization", "Bearer " + deviceToken}, {"X-Device-ID", deviceID}},
                          std::move(events));
    if (!host->next("ready")) return nullptr;
    return host;
}

void ScriptedHost::send(const Json& message) {
    socket->sendText(dumpJson(message));
}

std::optional<Json> ScriptedHost::next(const std::string& type, std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock lock(inbox->mutex);
    for (;;) {
        while (!inbox->messages.empty()) {
            Json message = std::move(inbox->messages.front());
            inbox->messages.pop_front();
            if (signalType(message) == type) return message;
        }
        if (inbox->ended) return std::nullopt;
        if (inbox->arrived.wait_until(lock, deadline) == std::cv_status::timeout && inbox->messages.empty())
            return std::nullopt;
    }
}

void ScriptedHost::drop() {
    socket->close(1001);
}

} // namespace quorlinth::testing
