#pragma once

#include <functional>
#include <string>

namespace quorlinth {

// The byte stream under a LAN link: a TCP connection (LANConnection), or bytes in memory for
// fuzzing. Events may be called on any thread; at most one read is outstanding.
class LANTransport {
public:
    struct Events {
        std::function<void(std::string bytes)> onData; // one read; the next waits for readMore()
        std::function<void()> onEnd;                   // refused, failed, ended by the peer
    };

    virtual ~LANTransport() = default;
    // Connects when needed, then delivers the first read. Call once.
    virtual void start(Events events) = 0;
    // Asks for the next read.
    virtual void readMore() = 0;
    // Queues bytes behind earlier sends; `sent` runs once they are written (or the transport
    // is gone).
    virtual void send(std::string bytes, std::function<void()> sent = nullptr) = 0;
    // Final and idempotent; no event is delivered afterwards.
    virtual void cancel() = 0;
};

} // namespace quorlinth
