#pragma once

#include <cstdint>
#include <string>

namespace quorlinth::testing {

// The far end of a LAN link in a test: plain blocking sockets on 127.0.0.1, so the bytes on
// the wire are exactly what the test writes and reads.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    uint16_t port() const { return boundPort; }
    // Waits for the next connection; its descriptor (owned by the caller), or -1.
    int accept();

private:
    int fd = -1;
    uint16_t boundPort = 0;
};

class LoopbackPeer {
public:
    explicit LoopbackPeer(int fd) : fd(fd) {}
    // Connects to 127.0.0.1:port.
    static LoopbackPeer connectTo(uint16_t port);
    ~LoopbackPeer();
    LoopbackPeer(LoopbackPeer&& other) noexcept : fd(other.fd), pending(std::move(other.pending)) {
        other.fd = -1;
    }

    bool connected() const { return fd >= 0; }
    void write(const std::string& bytes);
    // The next line without its line feed; "" at end of stream (then ended()) or when none
    // arrives within `timeoutMs`.
    std::string readLine(int timeoutMs = 10'000);
    bool ended() const { return atEnd; }
    // True when the other side closes within `timeoutMs`; what it still sends is discarded.
    bool waitForEnd(int timeoutMs = 10'000);
    void shutdownWrite();

private:
    int fd = -1;
    std::string pending;
    bool atEnd = false;
};

} // namespace quorlinth::testing
