#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth::testing {

// A one-connection WebSocket server on 127.0.0.1 that greets its client with fixed frames.
// Only for frames the real service never relays (binary, oversized, not JSON).
class ScriptedSignalServer {
public:
    struct Frame {
        bool binary = false;
        std::string payload;
    };

    explicit ScriptedSignalServer(std::vector<Frame> frames);
    ~ScriptedSignalServer();

    // "http://127.0.0.1:PORT", the base URL a client builds its signaling URL from.
    std::string baseURL() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace quorlinth::testing
