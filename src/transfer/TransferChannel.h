#pragma once

#include "base/Encoding.h"
#include "rtc/RTCTypes.h"

#include <cstdint>
#include <memory>

namespace quorlinth {

// What the channel reports, on any thread; the link hops to its own queue.
class TransferChannelDelegate {
public:
    virtual ~TransferChannelDelegate() = default;
    virtual void channelDidChangeState() = 0;
    virtual void channelDidReceive(const Bytes& data, bool binary) = 0;
    virtual void channelDidChangeBufferedAmount() = 0;
};

// The reliable, ordered message channel a transfer link runs on: a WebRTC data channel in the
// product, an in-memory pair in unit tests. Callable from any thread.
class TransferChannel {
public:
    virtual ~TransferChannel() = default;
    virtual RTCDataChannelState readyState() const = 0;
    // False when the message could not be queued.
    virtual bool send(const Bytes& data, bool binary) = 0;
    // Bytes accepted by send and not yet handed to the network.
    virtual uint64_t bufferedAmount() const = 0;
    // An expired delegate detaches.
    virtual void setDelegate(std::weak_ptr<TransferChannelDelegate> delegate) = 0;
    virtual void close() = 0;
};

} // namespace quorlinth
