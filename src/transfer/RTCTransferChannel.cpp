#include "transfer/RTCTransferChannel.h"

namespace quorlinth {

std::shared_ptr<RTCTransferChannel> RTCTransferChannel::wrap(std::shared_ptr<RTCDataChannel> channel) {
    auto wrapped = std::make_shared<RTCTransferChannel>(std::move(channel));
    wrapped->channel->setDelegate(wrapped);
    return wrapped;
}

void RTCTransferChannel::setDelegate(std::weak_ptr<TransferChannelDelegate> newDelegate) {
    std::lock_guard lock(mutex);
    delegate = std::move(newDelegate);
}

std::shared_ptr<TransferChannelDelegate> RTCTransferChannel::currentDelegate() {
    std::lock_guard lock(mutex);
    return delegate.lock();
}

void RTCTransferChannel::dataChannelDidChangeState(RTCDataChannel&) {
    if (auto target = currentDelegate()) target->channelDidChangeState();
}

void RTCTransferChannel::dataChannelDidReceiveMessage(RTCDataChannel&, const Bytes& data, bool binary) {
    if (auto target = currentDelegate()) target->channelDidReceive(data, binary);
}

void RTCTransferChannel::dataChannelDidChangeBufferedAmount(RTCDataChannel&, uint64_t) {
    if (auto target = currentDelegate()) target->channelDidChangeBufferedAmount();
}

} // namespace quorlinth
