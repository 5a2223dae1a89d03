#include "MemoryChannel.h"

namespace quorlinth::testing {

struct MemoryChannel::Shared {
    SerialQueue wire{"test.wire"};
};

std::pair<std::shared_ptr<MemoryChannel>, std::shared_ptr<MemoryChannel>> MemoryChannel::pair() {
    auto shared = std::make_shared<Shared>();
    auto a = std::make_shared<MemoryChannel>(shared);
    auto b = std::make_shared<MemoryChannel>(shared);
    a->other = b;
    b->other = a;
    return {a, b};
}

std::shared_ptr<TransferChannelDelegate> MemoryChannel::delegateNow() {
    std::lock_guard lock(mutex);
    return delegate.lock();
}

void MemoryChannel::setDelegate(std::weak_ptr<TransferChannelDelegate> newDelegate) {
    std::lock_guard lock(mutex);
    delegate = std::move(newDelegate);
}

void MemoryChannel::open() {
    std::shared_ptr<MemoryChannel> ends[] = {shared_from_this(), other.lock()};
    for (auto& end : ends)
        if (end) end->state = RTCDataChannelState::open;
    for (auto& end : ends)
        if (auto target = end ? end->delegateNow() : nullptr) target->channelDidChangeState();
}

bool MemoryChannel::send(const Bytes& data, bool binary) {
    if (state != RTCDataChannelState::open) return false;
    {
        std::lock_guard lock(mutex);
        if (failAfter && accepted + data.size() > *failAfter) {
            ++refusals;
            return false;
        }
        accepted += data.size();
    }
    uint64_t now = buffered += data.size();
    uint64_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    Message message{data, binary};
    // Queued and handed to the wire under one lock, so a send racing a release cannot overtake
    // the messages released before it.
    std::lock_guard lock(mutex);
    if (held)
        waiting.push_back(std::move(message));
    else
        deliver(std::move(message));
    return true;
}

void MemoryChannel::deliver(Message message) {
    shared->wire.post([weak = weak_from_this(), message = std::move(message)] {
        auto self = weak.lock();
        if (!self) return;
        if (auto peer = self->other.lock()) peer->receive(message);
        self->buffered -= message.data.size();
        if (auto target = self->delegateNow()) target->channelDidChangeBufferedAmount();
    });
}

void MemoryChannel::receive(const Message& message) {
    if (state != RTCDataChannelState::open) return;
    if (auto target = delegateNow()) target->channelDidReceive(message.data, message.binary);
}

void MemoryChannel::hold(bool hold) {
    std::lock_guard lock(mutex);
    held = hold;
    if (hold) return;
    for (auto& message : waiting)
        deliver(std::move(message));
    waiting.clear();
}

void MemoryChannel::close() {
    for (auto end : {shared_from_this(), other.lock()}) {
        if (!end || end->state == RTCDataChannelState::closed) continue;
        end->state = RTCDataChannelState::closed;
        shared->wire.post([end] {
            if (auto target = end->delegateNow()) target->channelDidChangeState();
        });
    }
}

RawPeer::RawPeer(std::shared_ptr<MemoryChannel> channel, Dispatcher& loop)
    : channel(std::move(channel)), loop(loop) {}

void RawPeer::channelDidReceive(const Bytes& data, bool binary) {
    {
        std::lock_guard lock(mutex);
        received.push_back({data, binary});
    }
    loop.post([] {});
}

std::vector<std::string> RawPeer::texts() {
    std::lock_guard lock(mutex);
    std::vector<std::string> result;
    for (const auto& message : received)
        if (!message.binary) result.push_back(message.text());
    return result;
}

uint64_t RawPeer::binaryBytes() {
    std::lock_guard lock(mutex);
    uint64_t total = 0;
    for (const auto& message : received)
        if (message.binary) total += message.data.size();
    return total;
}

std::optional<Json> RawPeer::find(const std::string& type, int skip) {
    std::lock_guard lock(mutex);
    int seen = 0;
    for (const auto& message : received) {
        if (message.binary) continue;
        auto json = parseJsonObject(message.text());
        if (json && field::string(*json, "t") == type && seen++ == skip) return json;
    }
    return std::nullopt;
}

} // namespace quorlinth::testing
