#pragma once

#include "base/Result.h"
#include "base/Scheduler.h"
#include "net/HttpClient.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorlinth::net {

// Why a WebSocket stopped receiving: a description for people and the parts that a log
// line names ("domain", "code", and the peer's close code when it sent one).
struct WebSocketFailure {
    std::string description;
    std::string domain;
    int code = 0;
    std::optional<uint16_t> closeCode;
    bool tooLarge = false; // a message above the size limit
};

// One client WebSocket (ws or wss) on the process's shared WebSocket io thread. Text and
// binary messages, ping with a pong completion, close codes and a maximum message size.
// Events arrive on that io thread: owners copy what they need and hop to their own queue.
// After close() (or destruction) no event and no completion is delivered.
class WebSocketClient {
public:
    struct Options {
        std::optional<std::filesystem::path> extraCaFile;
        size_t maxMessageBytes = 71680;
        Millis handshakeTimeout{15'000};
    };
    struct Events {
        std::function<void()> onOpen;
        std::function<void(std::string text)> onText;
        std::function<void(size_t bytes)> onBinary;
        // The connection could not be made or stopped receiving; the socket is finished.
        std::function<void(WebSocketFailure failure)> onFailure;
    };

    explicit WebSocketClient(Options options);
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Connects and then receives until failure or close(). Call once.
    void connect(const std::string& url, HttpHeaders headers, Events events);
    // Sends one text frame; `done` (optional) reports the write.
    void sendText(std::string text, std::function<void(Result<void>)> done = nullptr);
    // Sends a ping; `pong` is called when the matching pong arrives, or with an error.
    void ping(std::function<void(Result<void>)> pong);
    // Sends a close frame with `code` and no reason, then drops the connection.
    void close(uint16_t code);

    struct Connection;

private:
    Options options;
    std::shared_ptr<Connection> connection;
};

} // namespace quorlinth::net
