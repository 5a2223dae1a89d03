#include "rtc/RTCDataChannel.h"

#include "rtc/engine/PeerEngine.h"

namespace quorlinth {

using namespace engine;

namespace {

RTCDataChannelState stateOf(GstWebRTCDataChannel* channel) {
    GstWebRTCDataChannelState state;
    g_object_get(channel, "ready-state", &state, nullptr);
    switch (state) {
    case GST_WEBRTC_DATA_CHANNEL_STATE_OPEN:
        return RTCDataChannelState::open;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING:
        return RTCDataChannelState::closing;
    case GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED:
        return RTCDataChannelState::closed;
    default:
        return RTCDataChannelState::connecting;
    }
}

std::string labelOf(GstWebRTCDataChannel* channel) {
    gchar* label = nullptr;
    g_object_get(channel, "label", &label, nullptr);
    std::string text = label ? label : "";
    g_free(label);
    return text;
}

} // namespace

std::shared_ptr<RTCDataChannel> RTCDataChannel::Impl::wrap(GstWebRTCDataChannel* adopted, bool locallyOpened,
                                                           std::shared_ptr<Scheduler> events,
                                                           std::function<uint64_t(int)> bytesSent,
                                                           std::function<void()> startPump) {
    auto impl = std::make_shared<Impl>(locallyOpened, labelOf(adopted));
    impl->channel = adopted;
    impl->events = std::move(events);
    impl->bytesSent = std::move(bytesSent);
    impl->startPump = std::move(startPump);
    auto channel = std::make_shared<RTCDataChannel>(impl);
    impl->owner = channel;
    std::weak_ptr<Impl> weak = impl;
    impl->handlers.push_back(connectWeak(
        adopted, "notify::ready-state", G_CALLBACK(+[](GstWebRTCDataChannel*, GParamSpec*, gpointer data) {
            if (auto self = lockWeak<Impl>(data))
                self->post([](RTCDataChannelDelegate& delegate, RTCDataChannel& channel) {
                    delegate.dataChannelDidChangeState(channel);
                });
        }),
        weak));
    impl->handlers.push_back(connectWeak(
        adopted, "on-message-string", G_CALLBACK(+[](GstWebRTCDataChannel*, gchar* text, gpointer data) {
            auto self = lockWeak<Impl>(data);
            if (!self) return;
            std::string piece = text ? text : "";
            self->post([piece = std::move(piece)](RTCDataChannelDelegate& delegate, RTCDataChannel& channel) {
                if (auto whole = channel.internals().textPieces.add(piece))
                    delegate.dataChannelDidReceiveMessage(channel, toBytes(*whole), false);
            });
        }),
        weak));
    impl->handlers.push_back(connectWeak(
        adopted, "on-message-data", G_CALLBACK(+[](GstWebRTCDataChannel*, GBytes* data, gpointer user) {
            auto self = lockWeak<Impl>(user);
            if (!self) return;
            gsize size = 0;
            const auto* bytes = data ? static_cast<const uint8_t*>(g_bytes_get_data(data, &size)) : nullptr;
            Bytes message(bytes, bytes + size);
            self->post([message](RTCDataChannelDelegate& delegate, RTCDataChannel& channel) {
                delegate.dataChannelDidReceiveMessage(channel, message, true);
            });
        }),
        weak));
    return channel;
}

RTCDataChannel::Impl::~Impl() {
    shutdown();
}

void RTCDataChannel::Impl::post(std::function<void(RTCDataChannelDelegate&, RTCDataChannel&)> event) {
    events->post([weak = weak_from_this(), event = std::move(event)] {
        auto self = weak.lock();
        if (!self || self->closed) return;
        auto channel = self->owner.lock();
        std::shared_ptr<RTCDataChannelDelegate> target;
        {
            std::lock_guard lock(self->mutex);
            target = self->delegate.lock();
        }
        if (channel && target) event(*target, *channel);
    });
}

bool RTCDataChannel::Impl::poll() {
    if (closed) return false;
    int stream = -1;
    g_object_get(channel, "id", &stream, nullptr);
    uint64_t sent = bytesSent(stream);
    uint64_t amount, previous, threshold;
    {
        std::lock_guard lock(mutex);
        amount = accounting.bufferedAmount(sent);
        previous = reported;
        threshold = lowThreshold;
        reported = amount;
    }
    if (amount < previous) {
        post([amount](RTCDataChannelDelegate& delegate, RTCDataChannel& channel) {
            delegate.dataChannelDidChangeBufferedAmount(channel, amount);
        });
        if (previous > threshold && amount <= threshold)
            post([](RTCDataChannelDelegate& delegate, RTCDataChannel& channel) {
                delegate.dataChannelDidReachBufferedAmountLow(channel);
            });
    }
    return amount > 0;
}

void RTCDataChannel::Impl::shutdown() {
    if (closed.exchange(true)) return;
    for (gulong handler : handlers)
        g_signal_handler_disconnect(channel, handler);
    handlers.clear();
    gst_object_unref(channel);
    channel = nullptr;
}

RTCDataChannel::RTCDataChannel(std::shared_ptr<Impl> impl) : impl(std::move(impl)) {}

RTCDataChannel::~RTCDataChannel() = default;

std::string RTCDataChannel::label() const {
    return impl->label;
}

int RTCDataChannel::streamId() const {
    if (impl->closed) return -1;
    int stream = -1;
    g_object_get(impl->channel, "id", &stream, nullptr);
    return stream;
}

RTCDataChannelState RTCDataChannel::readyState() const {
    return impl->closed ? RTCDataChannelState::closed : stateOf(impl->channel);
}

uint64_t RTCDataChannel::bufferedAmount() const {
    if (impl->closed) return 0;
    uint64_t sent = impl->bytesSent(streamId());
    std::lock_guard lock(impl->mutex);
    return impl->accounting.bufferedAmount(sent);
}

void RTCDataChannel::setBufferedAmountLowThreshold(uint64_t bytes) {
    std::lock_guard lock(impl->mutex);
    impl->lowThreshold = bytes;
}

bool RTCDataChannel::sendText(std::string_view text) {
    return send(toBytes(text), false);
}

bool RTCDataChannel::sendBinary(const Bytes& data) {
    return send(data, true);
}

bool RTCDataChannel::send(const Bytes& data, bool binary) {
    if (data.size() > kMaxMessageSize || readyState() != RTCDataChannelState::open) return false;
    GError* error = nullptr;
    bool sent;
    {
        // Count before handing over so the encoder's tally never runs ahead of ours.
        std::lock_guard lock(impl->mutex);
        impl->accounting.accept(data.size());
        impl->reported = impl->accounting.bufferedAmount(impl->bytesSent(streamId()));
    }
    if (binary) {
        GBytes* bytes = g_bytes_new(data.data(), data.size());
        sent = gst_webrtc_data_channel_send_data_full(impl->channel, bytes, &error);
        g_bytes_unref(bytes);
    } else {
        std::string text = toString(data);
        sent = gst_webrtc_data_channel_send_string_full(impl->channel, text.c_str(), &error);
    }
    if (error) g_error_free(error);
    if (!sent) {
        std::lock_guard lock(impl->mutex);
        impl->accounting.withdraw(data.size());
    }
    impl->startPump();
    return sent;
}

void RTCDataChannel::close() {
    if (!impl->closed) gst_webrtc_data_channel_close(impl->channel);
}

void RTCDataChannel::setDelegate(std::weak_ptr<RTCDataChannelDelegate> delegate) {
    std::lock_guard lock(impl->mutex);
    impl->delegate = std::move(delegate);
}

} // namespace quorlinth
