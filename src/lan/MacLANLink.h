#pragma once

#include "base/Json.h"
#include "base/MainQueue.h"
#include "crypto/P256.h"
#include "lan/LANLineReader.h"

#include <functional>
#include <memory>

namespace quorlinth {

class LANTransport;

// The framed LAN connection used by both sides: one compact JSON object per line, terminated
// by a line feed. Main-thread bound: reads, callbacks and sends all happen on the dispatcher
// given at creation (the main queue). Undecodable lines are dropped; more than 300,000
// buffered bytes without a line feed, end of stream or a connection failure close the link.
class MacLANLink : public std::enable_shared_from_this<MacLANLink> {
public:
    static std::shared_ptr<MacLANLink> create(std::shared_ptr<LANTransport> connection,
                                              Dispatcher& main = mainQueue());
    ~MacLANLink();

    std::function<void(Json message)> onMessage;
    std::function<void()> onClose; // at most once

    // Starts the connection and issues the first read.
    void start();
    // Serialises and sends one object; ignored when closed.
    void send(const Json& message);
    // Sends one object and closes the link once it has been written.
    void sendAndClose(const Json& message);
    // Final and idempotent: cancels the connection, calls onClose once, drops both callbacks.
    void close();
    bool isClosed() const { return closed; }

private:
    MacLANLink(std::shared_ptr<LANTransport> connection, Dispatcher& main);
    void received(const std::string& bytes);

    std::shared_ptr<LANTransport> connection;
    Dispatcher& main;
    LANLineReader reader;
    bool started = false;
    bool closed = false;
};

// { "t": "rtc", "m": m } plus "sig" over "sdp|" + m["sdp"] when m has a string "sdp".
Json rtcMessage(const Json& m, const crypto::P256SigningKey& identity);

} // namespace quorlinth
