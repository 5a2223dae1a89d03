#include "host/MacShareHost.h"

#include "base/Uuid.h"
#include "base/WallClock.h"
#include "capture/CodecFactories.h"
#include "log/MacLog.h"
#include "net/HttpClient.h"
#include "net/WebSocketClient.h"

#include <chrono>
#include <cstdio>
#include <future>

namespace quorlinth {

namespace {

constexpr size_t kMaxControlMessageBytes = 16384;
constexpr int64_t kDirectBitrateFloor = 1'000'000;

std::string routeName(std::optional<RTCMediaRoute> route) {
    if (!route) return "-";
    return *route == RTCMediaRoute::direct ? "direct" : "relay";
}

const RTCStatistics* entryNamed(const RTCStatisticsReport& report, const std::optional<std::string>& id) {
    if (!id) return nullptr;
    auto it = report.find(*id);
    return it == report.end() ? nullptr : &it->second;
}

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string integerText(const Json& values, const char* key) {
    return std::to_string(static_cast<long long>(field::number(values, key, 0)));
}

} // namespace

std::shared_ptr<MacShareHost> MacShareHost::create(Options options) {
    return std::shared_ptr<MacShareHost>(new MacShareHost(std::move(options)));
}

MacShareHost::MacShareHost(Options options)
    : options(std::move(options)), main(this->options.main ? *this->options.main : mainQueue()),
      profile(MacStreamProfile::resolve(this->options.quality, 0, std::nullopt)),
      network(std::make_shared<net::HttpClient>(
          net::HttpClient::Options{"quorlinth.heartbeat", this->options.caFile})) {}

MacShareHost::~MacShareHost() = default;

void MacShareHost::onQueue(std::function<void(MacShareHost&)> task) {
    queue.post([weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) task(*self);
    });
}

void MacShareHost::onMain(std::function<void()> task) {
    main.post([weak = weak_from_this(), task = std::move(task)] {
        if (auto alive = weak.lock()) task();
    });
}

// The capture follows the profile's frame rate, through the owner.
void MacShareHost::setProfile(const MacStreamProfile& next) {
    bool rateChanged = next.fps != profile.fps;
    profile = next;
    if (rateChanged)
        onMain([this, fps = next.fps] {
            if (onFrameRate) onFrameRate(fps);
        });
}

void MacShareHost::log(const std::string& text) const {
    if (options.log)
        options.log(text);
    else
        MacLog::shared().log(text);
}

std::string MacShareHost::serviceBase() const {
    return options.base.empty() ? options.credentials.base : options.base;
}

// MARK: Lifecycle

void MacShareHost::start() {
    onQueue([](MacShareHost& self) { self.startOnQueue(); });
}

void MacShareHost::startOnQueue() {
    if (stopped || factory) return;
    // The capture starts at its default rate; the profile without a viewer may send fewer.
    onMain([this, fps = profile.fps] {
        if (onFrameRate) onFrameRate(fps);
    });
    if (auto ready = RTCPeerConnectionFactory::initialize(); !ready) {
        log("无法启动屏幕共享：" + ready.error());
        return;
    }
    factory = std::make_shared<RTCPeerConnectionFactory>(RTCPeerConnectionFactoryOptions{true, true},
                                                         std::make_shared<MacScreenEncoderFactory>(),
                                                         std::make_shared<RTCDefaultVideoDecoderFactory>());
    source = factory->videoSource();
    connectSignal();
    const Timings& t = options.timings;
    heartbeat = queue.every(t.heartbeat, t.heartbeat, [this] { sendDeviceHeartbeat(); });
    signalCheck = queue.every(t.signalCheck, t.signalCheck, [this] { checkSignal(); });
    pulse = queue.every(Millis(0), t.pulse, [this] { pulseFrame(); });
}

void MacShareHost::stop() {
    // A strong reference: stop must finish even when the owner lets go right after.
    queue.post([self = shared_from_this()] { self->stopOnQueue(); });
}

void MacShareHost::stopOnQueue() {
    if (stopped) return;
    if (!session.empty()) send(makeSignal("end", session));
    stopped = true;
    heartbeat.cancel();
    signalCheck.cancel();
    pulse.cancel();
    deferredFeed.cancel();
    reconnectTimer.cancel();
    newestPixels.set({.closed = true});
    // An in-flight heartbeat must not report the device after sharing stopped.
    network.reset();
    endSession();
    if (socket) socket->close(1000);
    socket.reset();
    factory.reset();
    source.reset();
}

void MacShareHost::cachePixels(SharedPixels pixels) {
    bool post = false;
    int64_t now = monotonicNs();
    newestPixels.update([&](NewestPixels& newest) {
        if (newest.closed) return;
        newest.pixels = std::move(pixels);
        newest.sincePreviousNs = newest.arrivedNs ? now - newest.arrivedNs : 0;
        newest.arrivedNs = now;
        newest.fresh = true;
        post = !std::exchange(newest.feedPosted, true);
    });
    if (post) onQueue([](MacShareHost& self) { self.feedFrame(); });
}

std::optional<std::string> MacShareHost::attachLocal(const std::string& lanControllerID,
                                                     std::function<void(Json)> lanSend) {
    auto attach = [this, lanControllerID, lanSend]() -> std::optional<std::string> {
        if (stopped || !session.empty() || !factory) return std::nullopt;
        session = "lan-" + uuidV4(LetterCase::lower);
        controllerID = lanControllerID;
        sessionICE.clear();
        authorized = true;
        localSend = lanSend;
        onMain([this] {
            if (onConnect) onConnect();
        });
        return session;
    };
    if (queue.isCurrent()) return attach();
    std::promise<std::optional<std::string>> result;
    queue.post([&] { result.set_value(attach()); });
    return result.get_future().get();
}

void MacShareHost::receiveLocal(Json message) {
    onQueue([message = std::move(message)](MacShareHost& self) {
        if (!self.stopped && self.localSend) self.handleSignal(message);
    });
}

// MARK: Signaling channel

void MacShareHost::connectSignal() {
    auto url = signalingURL(serviceBase());
    if (!url) return;
    auto client = std::make_shared<net::WebSocketClient>(net::WebSocketClient::Options{options.caFile});
    socket = client;
    signalAlive = Clock::now();
    signalReady = false;
    const net::WebSocketClient* identity = client.get();
    auto forCurrentSocket = [weak = weak_from_this(), identity](std::function<void(MacShareHost&)> task) {
        if (auto self = weak.lock())
            self->queue.post([weak, identity, task = std::move(task)] {
                auto self = weak.lock();
                if (!self || self->stopped || self->socket.get() != identity) return;
                task(*self);
            });
    };
    net::WebSocketClient::Events events;
    events.onText = [forCurrentSocket](std::string text) {
        forCurrentSocket([text = std::move(text)](MacShareHost& self) {
            self.signalAlive = Clock::now();
            self.handleSignalText(text);
        });
    };
    events.onBinary = [forCurrentSocket](size_t) {
        forCurrentSocket([](MacShareHost& self) { self.signalAlive = Clock::now(); });
    };
    events.onFailure = [forCurrentSocket](net::WebSocketFailure failure) {
        forCurrentSocket([description = failure.description](MacShareHost& self) {
            self.log("信令断开：" + description + "，5 秒后重连");
            self.reconnectSignal();
        });
    };
    client->connect(*url,
                    {{"Authorization", "Bearer " + options.credentials.deviceToken},
                     {"X-Device-ID", options.credentials.deviceID}},
                    std::move(events));
}

void MacShareHost::reconnectSignal() {
    // A session whose media already flows peer to peer outlives the socket (the service restarting,
    // a proxy timing out); it ends when its peer connection fails. A LAN session needs no socket.
    if (!localSend && !mediaConnected) endSession();
    if (socket) socket->close(1001);
    socket.reset();
    signalReady = false;
    reconnectTimer = queue.after(options.timings.reconnectDelay, [this] {
        if (!stopped && !socket) connectSignal();
    });
}

void MacShareHost::checkSignal() {
    if (stopped || !socket) return;
    auto silent = std::chrono::duration_cast<Millis>(Clock::now() - signalAlive);
    if (silent > options.timings.signalSilence) {
        log("信令 " + std::to_string(silent.count() / 1000) + " 秒无响应，重连");
        reconnectSignal();
        return;
    }
    const net::WebSocketClient* identity = socket.get();
    socket->ping([weak = weak_from_this(), identity](Result<void> pong) {
        if (!pong) return;
        if (auto self = weak.lock())
            self->queue.post([weak, identity] {
                auto self = weak.lock();
                if (self && !self->stopped && self->socket.get() == identity)
                    self->signalAlive = Clock::now();
            });
    });
}

void MacShareHost::send(const Json& message) {
    if (localSend)
        localSend(message);
    else if (socket)
        socket->sendText(dumpJson(message));
}

void MacShareHost::sendDeviceHeartbeat() {
    if (stopped) return;
    Json body = {{"capture_ready", true}, {"input_ready", inputReady ? inputReady() : false},
                 {"usb_ready", false},    {"unattended", false},
                 {"webrtc", true},        {"kind", "computer"}};
    net::HttpRequest request;
    request.method = "POST";
    request.url = serviceBase() + "/v1/devices/" + options.credentials.deviceID + "/heartbeat";
    request.headers = {{"Authorization", "Bearer " + options.credentials.deviceToken},
                       {"Content-Type", "application/json"}};
    request.body = dumpJson(body);
    request.timeout = Millis(10'000);
    network->send(std::move(request), [](Result<net::HttpResponse>) {}); // the next tick tries again
}

// MARK: Signaling messages

void MacShareHost::handleSignalText(const std::string& text) {
    if (auto message = parseJsonObject(text)) handleSignal(*message);
}

void MacShareHost::handleSignal(const Json& message) {
    std::string type = signalType(message);
    if (type == "ready") {
        if (!signalReady) log("信令已连接");
        signalReady = true;
        sendDeviceHeartbeat();
        return;
    }
    auto sessionID = signalSessionID(message);
    if (!sessionID) return;
    if (type == "request") {
        // An empty id could never be told apart from "no session".
        if (session.empty() && !sessionID->empty()) handleRequest(message, *sessionID);
    } else if (type == "offer") {
        auto sdp = field::string(message, "sdp");
        if (authorized && *sessionID == session && sdp && !peer && factory && source) handleOffer(*sdp);
    } else if (type == "ice") {
        if (*sessionID == session) handleRemoteCandidate(message);
    } else if (type == "end") {
        if (*sessionID == session) endSession();
    }
}

void MacShareHost::handleRequest(const Json& message, const std::string& sessionID) {
    SignalRequest request = parseSignalRequest(message);
    session = sessionID;
    controllerID = request.controllerID;
    sessionICE = request.iceServers;
    log("中转 " + relaySummary(sessionICE));
    Request forModel{request.controllerID, request.name, request.guest};
    auto decideLater = [weak = weak_from_this(), sessionID](bool allow) {
        if (auto self = weak.lock())
            self->onQueue([sessionID, allow](MacShareHost& host) { host.decide(sessionID, allow); });
    };
    onMain([this, forModel, decideLater] {
        if (onRequest)
            onRequest(forModel, decideLater);
        else
            decideLater(false);
    });
}

void MacShareHost::decide(const std::string& sessionID, bool allow) {
    if (stopped || session != sessionID) return;
    authorized = allow;
    send(makeSignal(allow ? "accept" : "reject", sessionID));
    if (allow)
        onMain([this] {
            if (onConnect) onConnect();
        });
    else
        endSession();
}

void MacShareHost::handleRemoteCandidate(const Json& message) {
    auto candidate = parseIceCandidate(message);
    if (!candidate) return;
    if (!remoteSet) {
        if (pending.size() < kMaxEarlyCandidates) pending.push_back(*candidate);
        return;
    }
    peer->addIceCandidate({candidate->candidate, candidate->sdpMid, candidate->sdpMLineIndex});
}

// MARK: Negotiation

void MacShareHost::handleOffer(const std::string& sdp) {
    viewerLevel = quorlinth::viewerLevel(sdp);
    route.reset();
    routeBox.set(std::nullopt);
    setProfile(MacStreamProfile::resolve(options.quality, viewerLevel, route));

    RTCConfiguration configuration;
    configuration.iceServers = sessionICE;
    configuration.iceTransportPolicy = options.iceTransportPolicy;
    configuration.localAddresses = options.iceAddresses;
    auto created = factory->peerConnection(configuration, weak_from_this());
    if (!created) return;
    auto connection = created.value();
    // The engine builds the sender from the offer, so it exists before the offer is applied.
    if (!connection->addVideoSender(source)) {
        connection->close();
        return;
    }
    peer = connection;
    connection->setRemoteDescription(
        {RTCSdpType::offer, sdp}, [weak = weak_from_this(), connection](Result<void> set) {
            if (auto self = weak.lock())
                self->onQueue([connection, ok = set.ok()](MacShareHost& host) {
                    if (host.stopped || host.peer != connection) return;
                    if (!ok) return host.endSession();
                    host.remoteSet = true;
                    for (const auto& candidate : host.pending)
                        connection->addIceCandidate(
                            {candidate.candidate, candidate.sdpMid, candidate.sdpMLineIndex});
                    host.pending.clear();
                    host.answerOffer(connection);
                });
        });
}

void MacShareHost::answerOffer(const std::shared_ptr<RTCPeerConnection>& connection) {
    connection->createAnswer([weak = weak_from_this(), connection](Result<RTCSessionDescription> answer) {
        auto self = weak.lock();
        if (!self) return;
        self->onQueue([connection, answer](MacShareHost& host) {
            if (host.stopped || host.peer != connection) return;
            if (!answer) return host.endSession();
            connection->setLocalDescription(answer.value(), [weak = host.weak_from_this(), connection,
                                                             sdp = answer.value().sdp](Result<void> set) {
                if (auto self = weak.lock())
                    self->onQueue([connection, sdp, ok = set.ok()](MacShareHost& host) {
                        if (host.stopped || host.peer != connection) return;
                        if (!ok) return host.endSession();
                        if (!host.authorized) return;
                        host.send(makeSdpSignal("answer", host.session, sdp));
                        host.applyEncoding();
                        const Timings& t = host.options.timings;
                        host.routeTimer =
                            host.queue.every(t.routeFirst, t.routePeriod, [&host] { host.routeTick(); });
                    });
            });
        });
    });
}

void MacShareHost::peerConnectionDidGenerateCandidate(RTCPeerConnection& from,
                                                      const RTCIceCandidate& candidate) {
    onQueue([&from, candidate](MacShareHost& host) {
        if (host.stopped || !host.isCurrent(from) || !host.authorized) return;
        if (candidate.sdp.find(" typ relay") != std::string::npos) host.log("中转分配 1 个");
        host.send(makeIceSignal(host.session, {candidate.sdp, candidate.sdpMid, candidate.sdpMLineIndex}));
    });
}

void MacShareHost::peerConnectionDidChangeConnectionState(RTCPeerConnection& from,
                                                          RTCPeerConnectionState state) {
    if (state != RTCPeerConnectionState::failed && state != RTCPeerConnectionState::connected) return;
    onQueue([&from, state](MacShareHost& host) {
        if (!host.isCurrent(from)) return;
        if (state == RTCPeerConnectionState::connected) host.mediaConnected = true;
        if (state == RTCPeerConnectionState::failed) host.endSession();
    });
}

void MacShareHost::peerConnectionDidOpenDataChannel(RTCPeerConnection& from,
                                                    std::shared_ptr<RTCDataChannel> channel) {
    onQueue([&from, channel](MacShareHost& host) {
        std::string label = channel->label();
        if (label != "control" && label != "transfer") return channel->close();
        if (host.stopped || !host.authorized || !host.isCurrent(from)) return channel->close();
        if (label == "transfer") {
            if (host.transfer) host.transfer->close();
            host.transfer = channel;
            host.onMain([&host, channel, id = host.controllerID] {
                if (host.onTransferChannel) host.onTransferChannel(channel, id);
            });
            return;
        }
        host.control = channel;
        channel->setDelegate(host.weak_from_this());
    });
}

void MacShareHost::dataChannelDidReceiveMessage(RTCDataChannel& channel, const Bytes& data, bool binary) {
    if (binary || data.size() > kMaxControlMessageBytes) return;
    onQueue([&channel, text = toString(data)](MacShareHost& host) {
        if (host.stopped || !host.authorized || host.control.get() != &channel || !host.peer ||
            host.session.empty())
            return;
        uint64_t readIn = host.epoch.value();
        host.onMain([&host, readIn, text] {
            // A message read before its session ended is dropped here.
            if (host.epoch.value() == readIn && host.onInput) host.onInput(text);
        });
    });
}

// MARK: Media

// A new picture goes to the encoder on arrival unless new pictures come faster than the profile's
// rate or a repeat went out less than half a period ago; then when it may, and meanwhile a newer
// picture replaces it.
void MacShareHost::feedFrame() {
    NewestPixels newest;
    newestPixels.update([&](NewestPixels& box) {
        box.feedPosted = false;
        newest = box;
    });
    if (stopped || !peer || !source || !newest.pixels || !newest.fresh) return;
    int64_t now = monotonicNs();
    int64_t earliest = std::max(freshPacer.earliestNs(profile.fps).value_or(now),
                                lastPushNs + 1'000'000'000 / profile.fps / 2);
    if (now < earliest) {
        if (!deferredFeed.active())
            deferredFeed = queue.after(std::chrono::ceil<Millis>(std::chrono::nanoseconds(earliest - now)),
                                       [this] { feedFrame(); });
        return;
    }
    freshPacer.admit(now, profile.fps, newest.arrivedNs, newest.sincePreviousNs);
    newestPixels.update([&](NewestPixels& box) {
        if (box.pixels == newest.pixels) box.fresh = false;
    });
    pushFrame(newest.pixels, newest.arrivedNs, now);
}

// Repeats a still screen at the profile's rate. While pictures keep coming nothing is repeated:
// a repeat would only hold up the next new picture.
void MacShareHost::pulseFrame() {
    if (stopped || !peer || !source) return;
    NewestPixels newest = newestPixels.get();
    if (newest.fresh) return feedFrame(); // e.g. a picture that came before the peer
    if (!newest.pixels) return;
    int64_t now = monotonicNs();
    int64_t period = 1'000'000'000 / profile.fps;
    if (now - newest.arrivedNs < period + period / 2) return;
    if (now - lastPushNs < period - FramePacer::kAllowanceNs) return;
    pushFrame(newest.pixels, now, now);
}

void MacShareHost::pushFrame(const SharedPixels& newest, int64_t capturedNs, int64_t nowNs) {
    lastPushNs = nowNs;
    const PixelBuffer& pixels = *newest;
    PixelSize target = outputSize(pixels.width, pixels.height, profile.quality);
    std::optional<RTCVideoSource::Size> adapted;
    if (target.width != pixels.width || target.height != pixels.height)
        adapted = RTCVideoSource::Size{target.width, target.height};
    source->pushFrame(pixels.data, pixels.width, pixels.height, pixels.stride, nowNs, adapted, capturedNs);
}

void MacShareHost::applyEncoding() {
    char level[16];
    std::snprintf(level, sizeof level, "%x", viewerLevel);
    log("画质档位 " + rawValue(profile.quality) + " maxKbps=" + std::to_string(profile.maxBitrate / 1000) +
        " fps=" + std::to_string(profile.fps) + " viewerLevel=0x" + level + " route=" + routeName(route));
    if (!peer) return;
    for (const auto& sender : peer->senders()) {
        RTCRtpParameters parameters = sender->parameters();
        parameters.degradationPreference = RTCDegradationPreference::maintainResolution;
        for (auto& encoding : parameters.encodings) {
            encoding.maxBitrateBps = profile.maxBitrate;
            encoding.minBitrateBps =
                isDirect(route) ? std::optional<int64_t>(kDirectBitrateFloor) : std::nullopt;
            encoding.maxFramerate = double(profile.fps);
        }
        (void)sender->setParameters(parameters);
    }
}

void MacShareHost::routeTick() {
    if (!peer || peer->connectionState() != RTCPeerConnectionState::connected) return;
    auto connection = peer;
    connection->statistics([weak = weak_from_this(), connection](RTCStatisticsReport report) {
        if (auto self = weak.lock())
            self->onQueue([connection, report = std::move(report)](MacShareHost& host) {
                if (host.stopped || host.peer != connection) return;
                host.statsTicks += 1;
                if (host.statsTicks % 6 == 2) host.logEncoder(report);
                host.readRoute(report);
            });
    });
}

void MacShareHost::readRoute(const RTCStatisticsReport& report) {
    std::optional<std::string> pairID;
    for (const auto& [id, entry] : report) {
        if (entry.type != "transport") continue;
        pairID = field::string(entry.values, "selectedCandidatePairId");
        if (pairID) break;
    }
    const RTCStatistics* pair = entryNamed(report, pairID);
    if (!pair) return;
    const RTCStatistics* local = entryNamed(report, field::string(pair->values, "localCandidateId"));
    const RTCStatistics* remote = entryNamed(report, field::string(pair->values, "remoteCandidateId"));
    if (!local || !remote) return;
    auto localType = field::string(local->values, "candidateType");
    auto remoteType = field::string(remote->values, "candidateType");
    if (!localType || !remoteType) return;
    RTCMediaRoute found =
        *localType == "relay" || *remoteType == "relay" ? RTCMediaRoute::relay : RTCMediaRoute::direct;
    if (route == found) return;
    route = found;
    routeBox.set(route);
    setProfile(MacStreamProfile::resolve(options.quality, viewerLevel, route));
    applyEncoding();
}

void MacShareHost::logEncoder(const RTCStatisticsReport& report) {
    const RTCStatistics* outbound = nullptr;
    for (const auto& [id, entry] : report) {
        if (entry.type == "outbound-rtp" && field::string(entry.values, "kind") == "video") {
            outbound = &entry;
            break;
        }
    }
    if (!outbound) return;
    const Json& values = outbound->values;
    std::string line =
        "编码 " + integerText(values, "frameWidth") + "x" + integerText(values, "frameHeight") +
        " fps=" + integerText(values, "framesPerSecond") + " targetKbps=" +
        std::to_string(static_cast<long long>(field::number(values, "targetBitrate", 0) / 1000));
    EncoderSample sample{secondsSince1970(), field::number(values, "bytesSent", 0),
                         field::number(values, "framesEncoded", 0), field::number(values, "qpSum", 0)};
    if (encoderSample && encoderSample->time < sample.time &&
        sample.framesEncoded > encoderSample->framesEncoded) {
        char rates[64];
        std::snprintf(
            rates, sizeof rates, " kbps=%.0f avgQP=%.1f",
            (sample.bytesSent - encoderSample->bytesSent) * 8 / (sample.time - encoderSample->time) / 1000,
            (sample.qpSum - encoderSample->qpSum) / (sample.framesEncoded - encoderSample->framesEncoded));
        line += rates;
    }
    line += " limit=" + field::string(values, "qualityLimitationReason", "?") +
            " encoder=" + field::string(values, "encoderImplementation", "-");
    encoderSample = sample;
    log(line);
}

// MARK: Session end

void MacShareHost::endSession() {
    epoch.increment();
    authorized = false;
    if (!session.empty())
        onMain([this] {
            if (onDisconnect) onDisconnect();
        });
    if (control) {
        control->setDelegate({});
        control->close();
        control.reset();
    }
    if (transfer) {
        transfer.reset();
        onMain([this] {
            if (onTransferChannel) onTransferChannel(nullptr, "");
        });
    }
    controllerID.clear();
    if (peer) {
        peer->setDelegate({});
        peer->close();
        peer.reset();
    }
    session.clear();
    remoteSet = false;
    pending.clear();
    routeTimer.cancel();
    encoderSample.reset();
    statsTicks = 0;
    viewerLevel = 0;
    mediaConnected = false;
    route.reset();
    routeBox.set(std::nullopt);
    setProfile(MacStreamProfile::resolve(options.quality, 0, std::nullopt));
    sessionICE.clear();
    localSend = nullptr;
}

} // namespace quorlinth
