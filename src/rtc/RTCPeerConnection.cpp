#include "rtc/RTCPeerConnection.h"

#include "rtc/RTCIceServerUri.h"
#include "rtc/engine/MediaTrace.h"
#include "rtc/engine/PeerEngine.h"

#include <future>
#include <gst/app/gstappsink.h>
#include <gst/rtp/rtp.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <libyuv.h>
#include <nice/agent.h>
#include <sstream>
#include <sys/socket.h>

namespace quorlinth {

using namespace engine;

namespace {

constexpr auto kConsentCheckPeriod = std::chrono::milliseconds(250);
constexpr auto kPumpPeriod = std::chrono::milliseconds(10);
constexpr auto kRatePeriod = std::chrono::milliseconds(250);
constexpr auto kKeyFrameCheckPeriod = std::chrono::milliseconds(100);
// A 1080p key frame leaves as a burst of several hundred kilobytes: more than the default UDP
// buffers hold, so the burst would be cut at either end.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
// How long the receiver waits for a missing packet to be retransmitted: a few round trips of a
// long-distance route, with room for a queue on a full link. Packets that arrive in order are
// passed on at once; giving up early costs more, as the view then freezes until a key frame.
constexpr unsigned kRetransmissionWaitMs = 300;
// Receiver reports are what the sender's rate control acts on; at RTP's default spacing (5 s) a
// queue grows for seconds before the sender hears of it.
constexpr guint64 kReceiverReportSpacingNs = 100'000'000;
// RTCP's share of the session in bytes per second, fixed: as a fraction of a bandwidth the
// session learns from what arrives, it starts near nothing, so in a session's first seconds
// reports and retransmission requests wait so long that the requests expire unsent and a
// lost packet freezes the view until a key frame.
constexpr double kRtcpBytesPerSecond = 100'000;

// Past the system's limit where the process may (CAP_NET_ADMIN); up to the limit otherwise.
void enlargeBuffers(int fd) {
    for (auto [forced, plain] :
         {std::pair{SO_RCVBUFFORCE, SO_RCVBUF}, std::pair{SO_SNDBUFFORCE, SO_SNDBUF}}) {
        if (setsockopt(fd, SOL_SOCKET, forced, &kSocketBufferBytes, sizeof kSocketBufferBytes) != 0)
            setsockopt(fd, SOL_SOCKET, plain, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    }
}

GstWebRTCSessionDescription* parseDescription(const RTCSessionDescription& description) {
    GstSDPMessage* message = nullptr;
    if (gst_sdp_message_new_from_text(description.sdp.c_str(), &message) != GST_SDP_OK) return nullptr;
    return gst_webrtc_session_description_new(
        description.type == RTCSdpType::offer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER,
        message);
}

// Runs `then` with the promise's reply once webrtcbin answers (on webrtcbin's thread).
GstPromise* promiseThen(std::function<void(GstPromise*)> then) {
    auto* box = new std::function<void(GstPromise*)>(std::move(then));
    return gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) {
            (*static_cast<std::function<void(GstPromise*)>*>(data))(promise);
        },
        box, [](gpointer data) { delete static_cast<std::function<void(GstPromise*)>*>(data); });
}

std::string promiseError(GstPromise* promise, const char* fallback) {
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) return fallback;
    const GstStructure* reply = gst_promise_get_reply(promise);
    GError* error = nullptr;
    if (reply && gst_structure_has_field(reply, "error")) {
        gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
        std::string text = error ? error->message : fallback;
        if (error) g_error_free(error);
        return text;
    }
    return {};
}

GstCaps* receiveCaps(const std::vector<RTCVideoCodecInfo>& preferences) {
    GstCaps* caps = gst_caps_new_empty();
    int payload = 96;
    for (const auto& codec : preferences) {
        if (g_ascii_strcasecmp(codec.name.c_str(), "H264") != 0 || payload > 127) continue;
        GstStructure* structure = gst_structure_new(
            "application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name", G_TYPE_STRING, "H264",
            "clock-rate", G_TYPE_INT, 90000, "payload", G_TYPE_INT, payload++, "rtcp-fb-nack", G_TYPE_BOOLEAN,
            TRUE, "rtcp-fb-nack-pli", G_TYPE_BOOLEAN, TRUE, "rtcp-fb-ccm-fir", G_TYPE_BOOLEAN, TRUE, nullptr);
        for (const auto& [name, value] : codec.parameters)
            gst_structure_set(structure, name.c_str(), G_TYPE_STRING, value.c_str(), nullptr);
        // Offered so that the sender learns each packet's arrival time from our feedback.
        setTransportCcExtension(structure, kOfferedTransportCcId);
        gst_caps_append_structure(caps, structure);
    }
    return caps;
}

std::string withoutAttributePrefix(const std::string& line) {
    return line.rfind("a=", 0) == 0 ? line.substr(2) : line;
}

} // namespace

// ---- FrameRateMeter ---------------------------------------------------------------------------

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void FrameRateMeter::note(int64_t nowNs) {
    std::lock_guard lock(mutex);
    recent.push_back(nowNs);
    while (!recent.empty() && recent.front() < nowNs - 1'000'000'000)
        recent.pop_front();
}

std::optional<double> FrameRateMeter::rate(int64_t nowNs) {
    std::lock_guard lock(mutex);
    while (!recent.empty() && recent.front() < nowNs - 1'000'000'000)
        recent.pop_front();
    if (recent.empty()) return std::nullopt;
    return static_cast<double>(recent.size());
}

// ---- Impl: set-up and tear-down --------------------------------------------------------------

RTCPeerConnection::Impl::Impl(RTCConfiguration configuration, std::vector<std::string> gatherAddresses,
                              std::shared_ptr<RTCVideoEncoderFactory> encoders)
    : configuration(std::move(configuration)), gatherAddresses(std::move(gatherAddresses)),
      encoders(std::move(encoders)), queue(std::make_unique<SerialQueue>("quorlinth.rtc")),
      consent(std::make_shared<RTCConsentWatch>(this->configuration.consentTimeout)) {}

RTCPeerConnection::Impl::~Impl() {
    close();
}

Result<void> RTCPeerConnection::Impl::start() {
    pipeline = gst_pipeline_new(nullptr);
    webrtc = makeElement("webrtcbin");
    if (!pipeline || !webrtc) return Error{"webrtcbin is not available"};
    gst_object_ref_sink(pipeline);
    gst_bin_add(GST_BIN(pipeline), webrtc);
    g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, "latency",
                 kRetransmissionWaitMs, "ice-transport-policy",
                 configuration.iceTransportPolicy == RTCIceTransportPolicy::relay
                     ? GST_WEBRTC_ICE_TRANSPORT_POLICY_RELAY
                     : GST_WEBRTC_ICE_TRANSPORT_POLICY_ALL,
                 nullptr);
    for (const auto& server : configuration.iceServers) {
        for (const auto& url : server.urls) {
            auto engineServer = engineIceServer(url, server.username, server.credential);
            if (!engineServer) continue;
            if (engineServer->kind == RTCEngineIceServer::Kind::stun) {
                g_object_set(webrtc, "stun-server", engineServer->uri.c_str(), nullptr);
            } else {
                gboolean added = FALSE;
                g_signal_emit_by_name(webrtc, "add-turn-server", engineServer->uri.c_str(), &added);
            }
        }
    }
    if (!gatherAddresses.empty()) {
        GstObject* agent = nullptr; // a plain reference: never sink it
        g_object_get(webrtc, "ice-agent", &agent, nullptr);
        if (agent) {
            for (const auto& address : gatherAddresses) {
                gboolean added = FALSE;
                g_signal_emit_by_name(agent, "add-local-ip-address", address.c_str(), &added);
            }
            gst_object_unref(agent);
        }
    }

    std::weak_ptr<Impl> weak = weak_from_this();
    handlers.push_back(connectWeak(webrtc, "on-ice-candidate",
                                   G_CALLBACK(+[](GstElement*, guint mline, gchar* line, gpointer data) {
                                       if (auto self = lockWeak<Impl>(data))
                                           self->onIceCandidate(mline, line);
                                   }),
                                   weak));
    handlers.push_back(connectWeak(webrtc, "notify::ice-connection-state",
                                   G_CALLBACK(+[](GstElement*, GParamSpec*, gpointer data) {
                                       if (auto self = lockWeak<Impl>(data))
                                           self->onIceConnectionStateChanged();
                                   }),
                                   weak));
    handlers.push_back(connectWeak(webrtc, "notify::connection-state",
                                   G_CALLBACK(+[](GstElement*, GParamSpec*, gpointer data) {
                                       if (auto self = lockWeak<Impl>(data)) self->onConnectionStateChanged();
                                   }),
                                   weak));
    handlers.push_back(connectWeak(webrtc, "notify::ice-gathering-state",
                                   G_CALLBACK(+[](GstElement*, GParamSpec*, gpointer data) {
                                       if (auto self = lockWeak<Impl>(data)) self->onGatheringStateChanged();
                                   }),
                                   weak));
    handlers.push_back(connectWeak(webrtc, "on-data-channel",
                                   G_CALLBACK(+[](GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
                                       if (auto self = lockWeak<Impl>(data)) self->onDataChannel(channel);
                                   }),
                                   weak));
    handlers.push_back(connectWeak(webrtc, "pad-added",
                                   G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer data) {
                                       if (auto self = lockWeak<Impl>(data)) self->onPadAdded(pad);
                                   }),
                                   weak));

    connectWeak(pipeline, "deep-element-added",
                G_CALLBACK(+[](GstBin*, GstBin*, GstElement* element, gpointer data) {
                    GstElementFactory* factory = gst_element_get_factory(element);
                    const char* name = factory ? GST_OBJECT_NAME(factory) : "";
                    if (g_strcmp0(name, "rtpsession") == 0) {
                        g_object_set(element, "rtcp-min-interval", kReceiverReportSpacingNs, "rtcp-fraction",
                                     kRtcpBytesPerSecond, nullptr);
                        if (auto self = lockWeak<Impl>(data))
                            connectWeak(element, "notify::twcc-stats",
                                        G_CALLBACK(+[](GstElement* session, GParamSpec*, gpointer data) {
                                            if (auto self = lockWeak<Impl>(data))
                                                self->onTransportFeedback(session);
                                        }),
                                        std::weak_ptr<Impl>(self));
                    }
                    // Ask again only for a packet a later one shows missing. Guessing when
                    // the next should have come fails on a link that spreads a picture's
                    // burst: every packet then arrives "late", each is asked for again, and
                    // the retransmissions double the load of a link already full.
                    if (g_strcmp0(name, "rtpjitterbuffer") == 0)
                        g_object_set(element, "rtx-next-seqnum", FALSE, nullptr);
                }),
                weak);

    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline));
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* message, gpointer data) {
            // Decoder quality-of-service messages report frames it dropped.
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_QOS) {
                if (auto self = lockWeak<Impl>(data)) self->framesDropped.fetch_add(1);
            }
            // A dropped message is ours to release: kept, it would hold its source element (and
            // through it the whole pipeline and its threads) alive after close.
            gst_message_unref(message);
            return GST_BUS_DROP;
        },
        new std::weak_ptr<Impl>(weak), [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
    gst_object_unref(bus);

    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return Error{"the peer connection pipeline did not start"};
    std::lock_guard timers(timerMutex);
    consentTimer = queue->every(kConsentCheckPeriod, kConsentCheckPeriod, [weak] {
        if (auto self = weak.lock()) self->checkConsent();
    });
    rateTimer = queue->every(kRatePeriod, kRatePeriod, [weak] {
        if (auto self = weak.lock()) self->adaptRate();
    });
    return {};
}

void RTCPeerConnection::Impl::close() {
    if (closed.exchange(true)) return;
    {
        std::lock_guard timers(timerMutex);
        consentTimer.cancel();
        rateTimer.cancel();
        keyFrameTimer.cancel();
        pumpTimer.cancel();
    }
    std::shared_ptr<RTCRtpSender::Impl> closingSender;
    std::vector<std::weak_ptr<RTCDataChannel::Impl>> closingChannels;
    {
        std::lock_guard lock(mutex);
        closingSender = sender;
        closingChannels = channels;
    }
    if (closingSender && closingSender->source) closingSender->source->detach(closingSender.get());
    for (auto& weakChannel : closingChannels)
        if (auto channel = weakChannel.lock()) channel->shutdown();
    if (pipeline) {
        // Stops every streaming thread before anything they use is released.
        gst_element_set_state(pipeline, GST_STATE_NULL);
        for (gulong handler : handlers)
            g_signal_handler_disconnect(webrtc, handler);
        handlers.clear();
        if (closingSender) closingSender->shutdown(webrtc);
        GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline));
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
    }
    probedSources.clear();
    probedSinks.clear();
    sctpEncoder.reset();
    {
        std::lock_guard lock(mutex);
        depayloaderInput.reset();
    }
    if (pipeline) gst_object_unref(pipeline);
    pipeline = nullptr;
    webrtc = nullptr;
    // Let an event already running on the engine thread finish before the owner goes away.
    if (queue && !queue->isCurrent()) {
        std::promise<void> drained;
        queue->post([&drained] { drained.set_value(); });
        drained.get_future().wait();
    }
}

// ---- Impl: events ----------------------------------------------------------------------------

void RTCPeerConnection::Impl::postEvent(
    std::function<void(RTCPeerConnectionDelegate&, RTCPeerConnection&)> event) {
    queue->post([weak = weak_from_this(), event = std::move(event)] {
        auto self = weak.lock();
        if (!self || self->closed) return;
        std::shared_ptr<RTCPeerConnectionDelegate> target;
        {
            std::lock_guard lock(self->mutex);
            target = self->delegate.lock();
        }
        if (target && self->owner) event(*target, *self->owner);
    });
}

void RTCPeerConnection::Impl::rememberMids(const std::string& sdp) {
    std::vector<std::string> found;
    std::istringstream stream(sdp);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("m=", 0) == 0)
            found.emplace_back();
        else if (line.rfind("a=mid:", 0) == 0 && !found.empty())
            found.back() = line.substr(6);
    }
    std::lock_guard lock(mutex);
    mids = std::move(found);
}

void RTCPeerConnection::Impl::onIceCandidate(guint mlineIndex, const char* line) {
    RTCIceCandidate candidate;
    candidate.sdp = withoutAttributePrefix(line ? line : "");
    candidate.sdpMLineIndex = static_cast<int32_t>(mlineIndex);
    {
        std::lock_guard lock(mutex);
        if (mlineIndex < mids.size() && !mids[mlineIndex].empty()) candidate.sdpMid = mids[mlineIndex];
    }
    postEvent([candidate](RTCPeerConnectionDelegate& delegate, RTCPeerConnection& peer) {
        delegate.peerConnectionDidGenerateCandidate(peer, candidate);
    });
}

void RTCPeerConnection::Impl::onIceConnectionStateChanged() {
    GstWebRTCICEConnectionState engineState;
    g_object_get(webrtc, "ice-connection-state", &engineState, nullptr);
    auto state = static_cast<RTCIceConnectionState>(engineState);
    if (state == RTCIceConnectionState::connected || state == RTCIceConnectionState::completed)
        consent->noteConnected(Clock::now());
    queue->post([weak = weak_from_this(), state] {
        auto self = weak.lock();
        if (!self || self->silenceReported) return;
        {
            std::lock_guard lock(self->mutex);
            if (self->iceState == state) return;
            self->iceState = state;
        }
        if (state == RTCIceConnectionState::connected || state == RTCIceConnectionState::completed)
            self->enlargeSocketBuffers();
        self->postEvent([state](RTCPeerConnectionDelegate& delegate, RTCPeerConnection& peer) {
            delegate.peerConnectionDidChangeIceConnectionState(peer, state);
        });
    });
}

void RTCPeerConnection::Impl::onConnectionStateChanged() {
    GstWebRTCPeerConnectionState engineState;
    g_object_get(webrtc, "connection-state", &engineState, nullptr);
    auto state = static_cast<RTCPeerConnectionState>(engineState);
    queue->post([weak = weak_from_this(), state] {
        auto self = weak.lock();
        if (!self || self->silenceReported) return;
        {
            std::lock_guard lock(self->mutex);
            if (self->peerState == state) return;
            self->peerState = state;
        }
        self->postEvent([state](RTCPeerConnectionDelegate& delegate, RTCPeerConnection& peer) {
            delegate.peerConnectionDidChangeConnectionState(peer, state);
        });
    });
}

// The socket of each selected candidate pair carries the media: its buffers are enlarged once ICE
// has chosen it.
void RTCPeerConnection::Impl::enlargeSocketBuffers() {
    if (closed || !pipeline) return;
    for (auto& source : elementsByFactory(GST_BIN(pipeline), "nicesrc")) {
        NiceAgent* agent = nullptr;
        guint stream = 0, component = 0;
        g_object_get(source.get(), "agent", &agent, "stream", &stream, "component", &component, nullptr);
        if (!agent) continue;
        if (GSocket* socket = nice_agent_get_selected_socket(agent, stream, component)) {
            enlargeBuffers(g_socket_get_fd(socket));
            g_object_unref(socket);
        }
        g_object_unref(agent);
    }
}

void RTCPeerConnection::Impl::onGatheringStateChanged() {
    GstWebRTCICEGatheringState state;
    g_object_get(webrtc, "ice-gathering-state", &state, nullptr);
    if (state != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) return;
    // The engine has no per-server error event: a server that yielded no candidate of its kind
    // by the end of gathering is reported unreachable.
    gchar* sdp = nullptr;
    GstWebRTCSessionDescription* local = nullptr;
    g_object_get(webrtc, "local-description", &local, nullptr);
    if (local) {
        sdp = gst_sdp_message_as_text(local->sdp);
        gst_webrtc_session_description_free(local);
    }
    std::string text = sdp ? sdp : "";
    g_free(sdp);
    for (const auto& server : configuration.iceServers) {
        for (const auto& url : server.urls) {
            bool turn = url.rfind("turn", 0) == 0;
            if (!engineIceServer(url, server.username, server.credential)) continue;
            if (text.find(turn ? " typ relay" : " typ srflx") != std::string::npos) continue;
            RTCIceGatheringError error{url, 701,
                                       turn ? "TURN allocation gave no candidate" : "STUN gave no candidate"};
            postEvent([error](RTCPeerConnectionDelegate& delegate, RTCPeerConnection& peer) {
                delegate.peerConnectionDidFailGathering(peer, error);
            });
        }
    }
}

void RTCPeerConnection::Impl::onDataChannel(GstWebRTCDataChannel* engineChannel) {
    std::weak_ptr<Impl> weak = weak_from_this();
    auto channel = RTCDataChannel::Impl::wrap(
        GST_WEBRTC_DATA_CHANNEL(gst_object_ref(engineChannel)), false, queue->handle(),
        [weak](int stream) {
            auto self = weak.lock();
            return self ? self->sctpBytesSent(stream) : 0;
        },
        [weak] {
            if (auto self = weak.lock()) self->startPump();
        });
    {
        std::lock_guard lock(mutex);
        channels.push_back(channel->internals().weak_from_this());
    }
    postEvent([channel](RTCPeerConnectionDelegate& delegate, RTCPeerConnection& peer) {
        delegate.peerConnectionDidOpenDataChannel(peer, channel);
    });
}

// ---- Impl: consent substitute ----------------------------------------------------------------

void RTCPeerConnection::Impl::installConsentProbes() {
    if (!pipeline) return;
    for (auto& source : elementsByFactory(GST_BIN(pipeline), "nicesrc")) {
        bool known = false;
        for (auto& probed : probedSources)
            known = known || probed.get() == source.get();
        if (known) continue;
        GstPad* pad = gst_element_get_static_pad(source.get(), "src");
        if (pad) {
            gst_pad_add_probe(
                pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                [](GstPad*, GstPadProbeInfo*, gpointer data) {
                    static_cast<std::shared_ptr<RTCConsentWatch>*>(data)->get()->noteReceived(Clock::now());
                    return GST_PAD_PROBE_OK;
                },
                new std::shared_ptr<RTCConsentWatch>(consent),
                [](gpointer data) { delete static_cast<std::shared_ptr<RTCConsentWatch>*>(data); });
            if (auto* trace = MediaTrace::shared()) trace->tracePackets(pad, "received");
            gst_object_unref(pad);
        }
        probedSources.push_back(std::move(source));
    }
    if (MediaTrace::shared()) traceSentPackets();
}

void RTCPeerConnection::Impl::traceSentPackets() {
    for (auto& sink : elementsByFactory(GST_BIN(pipeline), "nicesink")) {
        bool known = false;
        for (auto& probed : probedSinks)
            known = known || probed.get() == sink.get();
        if (known) continue;
        if (GstPad* pad = gst_element_get_static_pad(sink.get(), "sink")) {
            MediaTrace::shared()->tracePackets(pad, "sent");
            gst_object_unref(pad);
        }
        probedSinks.push_back(std::move(sink));
    }
}

void RTCPeerConnection::Impl::checkConsent() {
    if (closed || silenceReported) return;
    installConsentProbes();
    if (!consent->expired(Clock::now())) return;
    {
        std::lock_guard lock(mutex);
        if (iceState != RTCIceConnectionState::connected && iceState != RTCIceConnectionState::completed &&
            iceState != RTCIceConnectionState::disconnected)
            return;
        iceState = RTCIceConnectionState::failed;
        peerState = RTCPeerConnectionState::failed;
    }
    silenceReported = true;
    postEvent([](RTCPeerConnectionDelegate& delegate, RTCPeerConnection& peer) {
        delegate.peerConnectionDidChangeIceConnectionState(peer, RTCIceConnectionState::failed);
        delegate.peerConnectionDidChangeConnectionState(peer, RTCPeerConnectionState::failed);
    });
}

// ---- Impl: send-side rate adaptation ---------------------------------------------------------

// Reads the newest receiver report (loss, round trip) and the bytes sent from the engine's
// statistics and hands them to the sender's rate controller.
void RTCPeerConnection::Impl::adaptRate() {
    std::shared_ptr<RTCRtpSender::Impl> current;
    {
        std::lock_guard lock(mutex);
        if (iceState != RTCIceConnectionState::connected && iceState != RTCIceConnectionState::completed)
            return;
        current = sender;
    }
    if (closed || !current || !current->webrtcPad) return;
    std::weak_ptr<Impl> weak = weak_from_this();
    GstPromise* promise = promiseThen([weak, current](GstPromise* promise) {
        auto self = weak.lock();
        if (!self || gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) return;
        Json raw = Json::object();
        const GstStructure* reply = gst_promise_get_reply(promise);
        for (int index = 0, count = reply ? gst_structure_n_fields(reply) : 0; index < count; ++index) {
            const char* id = gst_structure_nth_field_name(reply, index);
            const GValue* value = gst_structure_get_value(reply, id);
            if (G_VALUE_HOLDS(value, GST_TYPE_STRUCTURE))
                raw[id] = jsonFromStructure(gst_value_get_structure(value));
        }
        self->queue->post([weak, current, raw = std::move(raw)] {
            auto self = weak.lock();
            if (self && !self->closed)
                current->adapt(self->rateFeedback.read(raw, monotonicNs() / 1'000'000));
        });
    });
    g_signal_emit_by_name(webrtc, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}

// The RTP session's window of transport-wide feedback, about once a picture: a queue shows in it
// long before the receiver reports' round trip.
void RTCPeerConnection::Impl::onTransportFeedback(GstElement* session) {
    GstStructure* stats = nullptr;
    g_object_get(session, "twcc-stats", &stats, nullptr);
    if (!stats) return;
    Json raw = jsonFromStructure(stats);
    gst_structure_free(stats);
    queue->post([weak = weak_from_this(), raw = std::move(raw)] {
        auto self = weak.lock();
        if (!self || self->closed) return;
        std::shared_ptr<RTCRtpSender::Impl> current;
        {
            std::lock_guard lock(self->mutex);
            current = self->sender;
        }
        auto feedback = RTCRateFeedbackReader::readTransport(raw, monotonicNs() / 1'000'000);
        if (current && feedback) current->adapt(*feedback);
    });
}

// ---- Impl: data-channel buffered amounts -----------------------------------------------------

uint64_t RTCPeerConnection::Impl::sctpBytesSent(int streamId) {
    if (closed || streamId < 0) return 0;
    if (!sctpEncoder && pipeline) {
        auto found = elementsByFactory(GST_BIN(pipeline), "sctpenc");
        if (!found.empty()) sctpEncoder = std::move(found.front());
    }
    if (!sctpEncoder) return 0;
    guint64 sent = 0;
    g_signal_emit_by_name(sctpEncoder.get(), "bytes-sent", static_cast<guint>(streamId), &sent);
    return sent;
}

void RTCPeerConnection::Impl::startPump() {
    queue->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard timers(self->timerMutex);
        if (self->closed || self->pumpTimer.active()) return;
        self->pumpTimer = self->queue->every(kPumpPeriod, kPumpPeriod, [weak] {
            if (auto self = weak.lock()) self->pumpBufferedAmounts();
        });
    });
}

void RTCPeerConnection::Impl::pumpBufferedAmounts() {
    std::vector<std::weak_ptr<RTCDataChannel::Impl>> current;
    {
        std::lock_guard lock(mutex);
        std::erase_if(channels, [](const auto& weak) { return weak.expired(); });
        current = channels;
    }
    bool pending = false;
    for (auto& weak : current)
        if (auto channel = weak.lock()) pending = channel->poll() || pending;
    if (!pending) {
        std::lock_guard timers(timerMutex);
        pumpTimer.cancel();
    }
}

// ---- Impl: media ------------------------------------------------------------------------------

Result<void> RTCPeerConnection::Impl::prepareSenderFor(const std::string& offerSdp) {
    std::shared_ptr<RTCRtpSender::Impl> pending;
    {
        std::lock_guard lock(mutex);
        pending = sender;
    }
    if (!pending || pending->webrtcPad) return {};
    auto codec = chooseH264ForSending(offeredVideoCodecs(offerSdp), [this](const RTCVideoCodecInfo& info) {
        return encoders->canCreateEncoder(info);
    });
    if (!codec) return Error{"the offer has no H.264 payload this engine can send"};
    {
        std::lock_guard lock(mutex);
        videoCodec = codec;
    }
    return pending->build(GST_BIN(pipeline), webrtc, *codec, transportCcExtensionId(offerSdp));
}

void RTCPeerConnection::Impl::onPadAdded(GstPad* pad) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC || closed) return;
    GstElement* depay = makeElement("rtph264depay");
    GstElement* decoder = makeElement("avdec_h264");
    GstElement* convert = makeElement("videoconvert");
    GstElement* sink = makeElement("appsink");
    if (!depay || !decoder || !convert || !sink) return;
    // After a loss, ask the sender for a key frame (PLI) and show nothing broken until it arrives.
    g_object_set(depay, "request-keyframe", TRUE, "wait-for-keyframe", TRUE, nullptr);
    GstCaps* rawCaps = gst_caps_from_string("video/x-raw,format=I420");
    g_object_set(sink, "caps", rawCaps, "sync", FALSE, "emit-signals", FALSE, "max-buffers", 2, nullptr);
    gst_caps_unref(rawCaps);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* appsink, gpointer data) {
        GstSample* sample = gst_app_sink_pull_sample(appsink);
        if (!sample) return GST_FLOW_EOS;
        if (auto self = lockWeak<Impl>(data)) self->onDecodedSample(sample);
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new std::weak_ptr<Impl>(weak_from_this()),
                               [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
    gst_bin_add_many(GST_BIN(pipeline), depay, decoder, convert, sink, nullptr);
    gst_element_link_many(depay, decoder, convert, sink, nullptr);
    for (GstElement* element : {sink, convert, decoder, depay})
        gst_element_sync_state_with_parent(element);
    GstPad* depaySink = gst_element_get_static_pad(depay, "sink");
    watchArrivals(depaySink);
    if (MediaTrace::shared()) traceDepayloaded(depaySink);
    gst_pad_link(pad, depaySink);
    {
        std::lock_guard lock(mutex);
        receiving = true;
        depayloaderInput = GstRef<GstPad>(depaySink); // takes the reference
    }
    watchFrozenPicture();
    postEvent([](RTCPeerConnectionDelegate& delegate, RTCPeerConnection& peer) {
        delegate.peerConnectionDidAddVideoTrack(peer);
    });
}

void RTCPeerConnection::Impl::watchArrivals(GstPad* depaySink) {
    gst_pad_add_probe(
        depaySink, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
            static_cast<RTCKeyFrameRecovery*>(data)->noteArrived(monotonicNs());
            return GST_PAD_PROBE_OK;
        },
        // The pipeline, and with it this probe, ends in close(), before the recovery goes.
        &keyFrameRecovery, nullptr);
}

// Only a connection that receives video checks; close() cancels under the same lock.
void RTCPeerConnection::Impl::watchFrozenPicture() {
    std::lock_guard timers(timerMutex);
    if (closed || keyFrameTimer.active()) return;
    keyFrameTimer = queue->every(kKeyFrameCheckPeriod, kKeyFrameCheckPeriod, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->recoverFrozenPicture();
    });
}

// Engine queue. Asks the sender for a key frame through the depayloader's input, the way the
// depayloader itself does after a loss (the session turns it into a picture loss indication).
void RTCPeerConnection::Impl::recoverFrozenPicture() {
    if (closed || !keyFrameRecovery.requestDue(monotonicNs())) return;
    GstRef<GstPad> input;
    {
        std::lock_guard lock(mutex);
        if (!depayloaderInput) return;
        input = GstRef<GstPad>(GST_PAD(gst_object_ref(depayloaderInput.get())));
    }
    gst_pad_push_event(input.get(),
                       gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
}

// Remembers which RTP timestamp each depayloaded frame had, for the decoded stage.
void RTCPeerConnection::Impl::traceDepayloaded(GstPad* depaySink) {
    gst_pad_add_probe(
        depaySink, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto self = lockWeak<Impl>(data);
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
            if (!self || !gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) return GST_PAD_PROBE_OK;
            uint32_t timestamp = gst_rtp_buffer_get_timestamp(&rtp);
            gst_rtp_buffer_unmap(&rtp);
            std::lock_guard lock(self->traceMutex);
            auto& frames = self->depayloadedFrames;
            if (frames.empty() || frames.back().second != timestamp) {
                frames.emplace_back(GST_BUFFER_PTS(buffer), timestamp);
                if (frames.size() > 16) frames.pop_front();
            }
            return GST_PAD_PROBE_OK;
        },
        new std::weak_ptr<Impl>(weak_from_this()),
        [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
}

void RTCPeerConnection::Impl::traceDecoded(GstClockTime pts, int64_t decodedNs) {
    std::lock_guard lock(traceMutex);
    for (auto it = depayloadedFrames.begin(); it != depayloadedFrames.end(); ++it) {
        if (it->first != pts) continue;
        MediaTrace::shared()->stage("decoded", it->second, decodedNs);
        depayloadedFrames.erase(depayloadedFrames.begin(), it + 1);
        return;
    }
}

void RTCPeerConnection::Impl::onDecodedSample(GstSample* sample) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) return;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) return;
    int width = GST_VIDEO_INFO_WIDTH(&info);
    int height = GST_VIDEO_INFO_HEIGHT(&info);
    auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4);
    libyuv::I420ToARGB(static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0),
                       static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 1)),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 1),
                       static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 2)),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 2), pixels->data(), width * 4, width, height);
    gst_video_frame_unmap(&frame);

    int64_t now = monotonicNs();
    if (MediaTrace::shared()) traceDecoded(GST_BUFFER_PTS(gst_sample_get_buffer(sample)), now);
    decodedRate.note(now);
    keyFrameRecovery.noteDecoded(now);
    if (lastDecodedNs > 0) {
        double intervalMs = (now - lastDecodedNs) / 1e6;
        // A freeze as the W3C counts it: an interval well beyond the recent average.
        if (averageIntervalMs > 0 && intervalMs > std::max(3 * averageIntervalMs, averageIntervalMs + 150))
            freezeCount.fetch_add(1);
        averageIntervalMs = averageIntervalMs == 0 ? intervalMs : averageIntervalMs * 0.9 + intervalMs * 0.1;
    }
    lastDecodedNs = now;
    decodedWidth = width;
    decodedHeight = height;
    framesDecoded.fetch_add(1);

    RTCVideoFrame decoded{width, height, width * 4, std::move(pixels), now};
    std::shared_ptr<RTCVideoRenderer> target;
    {
        std::lock_guard lock(mutex);
        target = renderer.lock();
    }
    if (target) target->renderFrame(decoded);
}

std::optional<RTCDecoderCounters> RTCPeerConnection::Impl::decoderCounters() {
    {
        std::lock_guard lock(mutex);
        if (!receiving) return std::nullopt;
    }
    RTCDecoderCounters counters;
    counters.framesDecoded = framesDecoded;
    counters.frameWidth = decodedWidth;
    counters.frameHeight = decodedHeight;
    counters.framesPerSecond = decodedRate.rate(monotonicNs());
    counters.framesDropped = framesDropped;
    counters.freezeCount = freezeCount;
    return counters;
}

// ---- public interface -------------------------------------------------------------------------

RTCPeerConnection::RTCPeerConnection(std::shared_ptr<Impl> impl) : impl(std::move(impl)) {
    this->impl->owner = this;
}

RTCPeerConnection::~RTCPeerConnection() {
    close();
}

void RTCPeerConnection::close() {
    impl->close();
}

void RTCPeerConnection::setDelegate(std::weak_ptr<RTCPeerConnectionDelegate> delegate) {
    std::lock_guard lock(impl->mutex);
    impl->delegate = std::move(delegate);
}

void RTCPeerConnection::setVideoRenderer(std::weak_ptr<RTCVideoRenderer> renderer) {
    std::lock_guard lock(impl->mutex);
    impl->renderer = std::move(renderer);
}

Result<void>
RTCPeerConnection::addReceiveOnlyVideoTransceiver(const std::vector<RTCVideoCodecInfo>& codecPreferences) {
    if (impl->closed) return Error{"the peer connection is closed"};
    GstCaps* caps = receiveCaps(codecPreferences);
    if (gst_caps_is_empty(caps)) {
        gst_caps_unref(caps);
        return Error{"no H.264 codec among the preferences"};
    }
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(impl->webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY,
                          caps, &transceiver);
    gst_caps_unref(caps);
    if (!transceiver) return Error{"the video transceiver could not be added"};
    // Asks for lost packets again (NACK) and offers a retransmission payload for them.
    g_object_set(transceiver, "do-nack", TRUE, nullptr);
    gst_object_unref(transceiver);
    return {};
}

Result<std::shared_ptr<RTCRtpSender>>
RTCPeerConnection::addVideoSender(std::shared_ptr<RTCVideoSource> source) {
    if (impl->closed) return Error{"the peer connection is closed"};
    if (!source) return Error{"no video source"};
    std::lock_guard lock(impl->mutex);
    if (impl->sender) return Error{"the peer connection already has a video sender"};
    impl->sender = std::make_shared<RTCRtpSender::Impl>();
    impl->sender->source = std::move(source);
    auto handle = std::make_shared<RTCRtpSender>(impl->sender);
    impl->senderHandles.push_back(handle);
    return handle;
}

std::vector<std::shared_ptr<RTCRtpSender>> RTCPeerConnection::senders() const {
    std::lock_guard lock(impl->mutex);
    return impl->senderHandles;
}

Result<std::shared_ptr<RTCDataChannel>> RTCPeerConnection::createDataChannel(const std::string& label) {
    if (impl->closed) return Error{"the peer connection is closed"};
    GstStructure* options = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
    GstWebRTCDataChannel* engineChannel = nullptr;
    g_signal_emit_by_name(impl->webrtc, "create-data-channel", label.c_str(), options, &engineChannel);
    gst_structure_free(options);
    if (!engineChannel) return Error{"the data channel could not be created"};
    std::weak_ptr<Impl> weak = impl;
    auto channel = RTCDataChannel::Impl::wrap(
        engineChannel, true, impl->queue->handle(),
        [weak](int stream) {
            auto self = weak.lock();
            return self ? self->sctpBytesSent(stream) : 0;
        },
        [weak] {
            if (auto self = weak.lock()) self->startPump();
        });
    std::lock_guard lock(impl->mutex);
    impl->channels.push_back(channel->internals().weak_from_this());
    return channel;
}

void RTCPeerConnection::createOffer(std::function<void(Result<RTCSessionDescription>)> done) {
    createDescription(true, std::move(done));
}

void RTCPeerConnection::createAnswer(std::function<void(Result<RTCSessionDescription>)> done) {
    createDescription(false, std::move(done));
}

void RTCPeerConnection::createDescription(bool offer,
                                          std::function<void(Result<RTCSessionDescription>)> done) {
    if (impl->closed) return;
    std::weak_ptr<Impl> weak = impl;
    GstPromise* promise = promiseThen([weak, offer, done = std::move(done)](GstPromise* promise) {
        auto self = weak.lock();
        if (!self) return;
        Result<RTCSessionDescription> result =
            Error{offer ? "no offer was created" : "no answer was created"};
        std::string error = promiseError(promise, "the engine did not reply");
        GstWebRTCSessionDescription* description = nullptr;
        if (error.empty()) {
            gst_structure_get(gst_promise_get_reply(promise), offer ? "offer" : "answer",
                              GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &description, nullptr);
        }
        if (description) {
            gchar* text = gst_sdp_message_as_text(description->sdp);
            std::string sdp = withMaxMessageSize(text, RTCDataChannel::kMaxMessageSize);
            if (offer) sdp = withRetransmissionForEveryPayload(sdp);
            result = RTCSessionDescription{offer ? RTCSdpType::offer : RTCSdpType::answer, sdp};
            g_free(text);
            gst_webrtc_session_description_free(description);
        } else if (!error.empty()) {
            result = Error{error};
        }
        self->queue->post([weak, done, result] {
            auto self = weak.lock();
            if (self && !self->closed) done(result);
        });
    });
    g_signal_emit_by_name(impl->webrtc, offer ? "create-offer" : "create-answer", nullptr, promise);
    gst_promise_unref(promise);
}

void RTCPeerConnection::setLocalDescription(const RTCSessionDescription& description,
                                            std::function<void(Result<void>)> done) {
    applyDescription(true, description, std::move(done));
}

void RTCPeerConnection::setRemoteDescription(const RTCSessionDescription& description,
                                             std::function<void(Result<void>)> done) {
    applyDescription(false, description, std::move(done));
}

void RTCPeerConnection::applyDescription(bool local, const RTCSessionDescription& description,
                                         std::function<void(Result<void>)> done) {
    if (impl->closed) return;
    std::weak_ptr<Impl> weak = impl;
    auto finish = [weak, done](Result<void> result) {
        if (auto self = weak.lock())
            self->queue->post([weak, done, result] {
                auto self = weak.lock();
                if (self && !self->closed) done(result);
            });
    };
    if (!local && description.type == RTCSdpType::offer) {
        if (auto prepared = impl->prepareSenderFor(description.sdp); !prepared) return finish(prepared);
    }
    if (!local && description.type == RTCSdpType::answer) {
        // The answer names the one payload the remote sends.
        auto answered = offeredVideoCodecs(description.sdp);
        std::lock_guard lock(impl->mutex);
        if (!answered.empty()) impl->videoCodec = answered.front();
    }
    GstWebRTCSessionDescription* engineDescription = parseDescription(description);
    if (!engineDescription) return finish(Error{"the session description is not valid SDP"});
    if (local) impl->rememberMids(description.sdp);
    GstPromise* promise = promiseThen([finish](GstPromise* promise) {
        std::string error = promiseError(promise, "the engine did not reply");
        finish(error.empty() ? Result<void>() : Result<void>(Error{error}));
    });
    g_signal_emit_by_name(impl->webrtc, local ? "set-local-description" : "set-remote-description",
                          engineDescription, promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(engineDescription);
}

void RTCPeerConnection::addIceCandidate(const RTCIceCandidate& candidate) {
    if (impl->closed || candidate.sdpMLineIndex < 0) return;
    std::string line = withoutAttributePrefix(candidate.sdp);
    g_signal_emit_by_name(impl->webrtc, "add-ice-candidate", static_cast<guint>(candidate.sdpMLineIndex),
                          line.c_str());
}

RTCIceConnectionState RTCPeerConnection::iceConnectionState() const {
    std::lock_guard lock(impl->mutex);
    return impl->iceState;
}

RTCPeerConnectionState RTCPeerConnection::connectionState() const {
    std::lock_guard lock(impl->mutex);
    return impl->peerState;
}

void RTCPeerConnection::statistics(std::function<void(RTCStatisticsReport)> done) {
    if (impl->closed) return;
    std::weak_ptr<Impl> weak = impl;
    GstPromise* promise = promiseThen([weak, done = std::move(done)](GstPromise* promise) {
        auto self = weak.lock();
        if (!self || gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) return;
        RTCStatisticsInputs inputs;
        const GstStructure* reply = gst_promise_get_reply(promise);
        int count = reply ? gst_structure_n_fields(reply) : 0;
        for (int index = 0; index < count; ++index) {
            const char* id = gst_structure_nth_field_name(reply, index);
            const GValue* value = gst_structure_get_value(reply, id);
            if (G_VALUE_HOLDS(value, GST_TYPE_STRUCTURE))
                inputs.engineReport[id] = jsonFromStructure(gst_value_get_structure(value));
        }
        inputs.decoder = self->decoderCounters();
        std::shared_ptr<RTCRtpSender::Impl> sender;
        {
            std::lock_guard lock(self->mutex);
            sender = self->sender;
            inputs.videoCodec = self->videoCodec;
            inputs.iceConnected = self->iceState == RTCIceConnectionState::connected ||
                                  self->iceState == RTCIceConnectionState::completed;
        }
        if (sender && sender->webrtcPad) inputs.encoder = sender->counters();
        auto report = buildStatisticsReport(inputs);
        self->queue->post([weak, done, report = std::move(report)] {
            auto self = weak.lock();
            if (self && !self->closed) done(report);
        });
    });
    g_signal_emit_by_name(impl->webrtc, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}

} // namespace quorlinth
