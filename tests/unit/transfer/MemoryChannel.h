#pragma once

#include "base/Json.h"
#include "base/SerialQueue.h"
#include "transfer/TransferChannel.h"

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::testing {

// One end of a channel pair joined in memory: what one end sends the other receives, in order,
// on a shared wire thread. The buffered amount is what was sent and not yet delivered; the wire
// can be held to let it build up.
class MemoryChannel : public TransferChannel, public std::enable_shared_from_this<MemoryChannel> {
public:
    struct Message {
        Bytes data;
        bool binary = false;
        std::string text() const { return std::string(data.begin(), data.end()); }
    };

    static std::pair<std::shared_ptr<MemoryChannel>, std::shared_ptr<MemoryChannel>> pair();

    RTCDataChannelState readyState() const override { return state.load(); }
    bool send(const Bytes& data, bool binary) override;
    uint64_t bufferedAmount() const override { return buffered.load(); }
    void setDelegate(std::weak_ptr<TransferChannelDelegate> delegate) override;
    void close() override;

    // Both ends become open (and tell their delegates).
    void open();
    // Holds or releases this end's outgoing messages.
    void hold(bool held);
    uint64_t peakBuffered() const { return peak.load(); }
    int refusals = 0;
    // Sends fail once this many bytes were accepted (a broken connection); unlimited when unset.
    std::optional<uint64_t> failAfter;

    struct Shared;
    explicit MemoryChannel(std::shared_ptr<Shared> shared) : shared(std::move(shared)) {}

private:
    void deliver(Message message);
    void receive(const Message& message);
    std::shared_ptr<TransferChannelDelegate> delegateNow();

    std::shared_ptr<Shared> shared;
    std::weak_ptr<MemoryChannel> other;
    std::atomic<RTCDataChannelState> state{RTCDataChannelState::connecting};
    std::atomic<uint64_t> buffered{0};
    std::atomic<uint64_t> peak{0};
    uint64_t accepted = 0;
    std::mutex mutex;
    std::weak_ptr<TransferChannelDelegate> delegate;
    bool held = false;
    std::deque<Message> waiting;
};

// The test's side of a channel: records what arrives (waking `loop` for each message), sends raw
// messages.
class RawPeer : public TransferChannelDelegate {
public:
    RawPeer(std::shared_ptr<MemoryChannel> channel, Dispatcher& loop);
    void channelDidChangeState() override {}
    void channelDidReceive(const Bytes& data, bool binary) override;
    void channelDidChangeBufferedAmount() override {}

    void sendText(const std::string& text) { channel->send(Bytes(text.begin(), text.end()), false); }
    void sendBinary(const Bytes& data) { channel->send(data, true); }
    // Text messages received so far, parsed.
    std::vector<std::string> texts();
    // The text message whose "t" is `type`, beyond the first `skip` of that type.
    std::optional<Json> find(const std::string& type, int skip = 0);
    uint64_t binaryBytes();

    std::shared_ptr<MemoryChannel> channel;

private:
    Dispatcher& loop;
    std::mutex mutex;
    std::vector<MemoryChannel::Message> received;
};

} // namespace quorlinth::testing
