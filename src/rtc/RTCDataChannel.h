#pragma once

#include "base/Encoding.h"
#include "rtc/RTCTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quorlinth {

class RTCDataChannel;

// Data-channel events, delivered in order on the peer connection's engine thread: hop to your
// own queue before touching your state.
class RTCDataChannelDelegate {
public:
    virtual ~RTCDataChannelDelegate() = default;
    virtual void dataChannelDidChangeState(RTCDataChannel& channel) {}
    virtual void dataChannelDidReceiveMessage(RTCDataChannel& channel, const Bytes& data, bool binary) {}
    // The buffered amount went down (bytes reached the wire).
    virtual void dataChannelDidChangeBufferedAmount(RTCDataChannel& channel, uint64_t amount) {}
    // The buffered amount fell to the low threshold or below.
    virtual void dataChannelDidReachBufferedAmountLow(RTCDataChannel& channel) {}
};

// An ordered, reliable data channel. Its buffered amount counts bytes accepted by send and not
// yet handed to the SCTP socket (whose own buffer is bounded), so it is safe to throttle on.
class RTCDataChannel {
public:
    // Larger messages are refused by send. Both ends announce it in their descriptions, so a
    // whole clipboard text (up to 200,000 bytes as JSON) travels as one message.
    static constexpr size_t kMaxMessageSize = 262144;

    struct Impl;
    explicit RTCDataChannel(std::shared_ptr<Impl> impl);
    ~RTCDataChannel();
    RTCDataChannel(const RTCDataChannel&) = delete;
    RTCDataChannel& operator=(const RTCDataChannel&) = delete;

    std::string label() const;
    int streamId() const;
    RTCDataChannelState readyState() const;
    uint64_t bufferedAmount() const;
    void setBufferedAmountLowThreshold(uint64_t bytes);

    // False when the channel is not open, the message is too large or the engine refused it.
    bool sendText(std::string_view text);
    bool sendBinary(const Bytes& data);
    bool send(const Bytes& data, bool binary);
    void close();

    void setDelegate(std::weak_ptr<RTCDataChannelDelegate> delegate);

    Impl& internals() { return *impl; }

private:
    std::shared_ptr<Impl> impl;
};

} // namespace quorlinth
