#pragma once

#include "rtc/RTCDataChannel.h"
#include "transfer/TransferChannel.h"

#include <mutex>

namespace quorlinth {

// A WebRTC data channel as a transfer channel. Its buffered amount is the engine's honest one
// (bytes not yet handed to the SCTP socket), so the link throttles on real queue length.
class RTCTransferChannel : public TransferChannel,
                           public RTCDataChannelDelegate,
                           public std::enable_shared_from_this<RTCTransferChannel> {
public:
    static std::shared_ptr<RTCTransferChannel> wrap(std::shared_ptr<RTCDataChannel> channel);

    RTCDataChannelState readyState() const override { return channel->readyState(); }
    bool send(const Bytes& data, bool binary) override { return channel->send(data, binary); }
    uint64_t bufferedAmount() const override { return channel->bufferedAmount(); }
    void setDelegate(std::weak_ptr<TransferChannelDelegate> delegate) override;
    void close() override { channel->close(); }

    const std::shared_ptr<RTCDataChannel>& dataChannel() const { return channel; }

    void dataChannelDidChangeState(RTCDataChannel&) override;
    void dataChannelDidReceiveMessage(RTCDataChannel&, const Bytes& data, bool binary) override;
    void dataChannelDidChangeBufferedAmount(RTCDataChannel&, uint64_t) override;

    explicit RTCTransferChannel(std::shared_ptr<RTCDataChannel> channel) : channel(std::move(channel)) {}

private:
    std::shared_ptr<TransferChannelDelegate> currentDelegate();

    std::shared_ptr<RTCDataChannel> channel;
    std::mutex mutex;
    std::weak_ptr<TransferChannelDelegate> delegate;
};

} // namespace quorlinth
