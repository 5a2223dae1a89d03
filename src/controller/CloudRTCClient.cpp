#include "controller/CloudRTCClient.h"

#include "account/MacDevice.h"
#include "base/Uuid.h"
#include "base/WallClock.h"
#include "capture/CodecFactories.h"
#include "controller/ConnectionDiagnostics.h"
#include "net/HttpClient.h"
#include "net/WebSocketClient.h"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <strings.h>

namespace quorlinth {

namespace {

constexpr size_t kMaxSessionReplyBytes = 262144;
constexpr uint64_t kControlBufferLimit = 65536;
constexpr const char* kIceFailedText =
    "视频连接未能建立，请重试；若持续失败，请在“我的 → 连接诊断”中查看 ICE 错误码";

void logRTC(const std::string& text) {
    ConnectionDiagnostics::shared().log("RTC " + text);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string oneDecimal(const char* pattern, double value) {
    char text[48];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

StatsMap statsMap(const RTCStatisticsReport& report) {
    StatsMap map;
    for (const auto& [id, entry] : report) {
        Json values = entry.values;
        values["type"] = entry.type;
        map.emplace(id, std::move(values));
    }
    return map;
}

bool validCoordinate(const Json& message, const char* key) {
    auto value = field::number(message, key);
    return value && std::isfinite(*value) && *value >= 0 && *value <= 1;
}

} // namespace

std::string candidateSummary(const std::string& line) {
    std::vector<std::string> tokens;
    std::istringstream words(line);
    for (std::string word; std::getline(words, word, ' ');)
        tokens.push_back(word);
    std::string type = "?";
    for (size_t i = 0; i + 1 < tokens.size(); ++i)
        if (tokens[i] == "typ") {
            type = tokens[i + 1];
            break;
        }
    std::string protocol = "?";
    if (tokens.size() >= 3) {
        protocol = tokens[2];
        for (char& c : protocol)
            c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return type + " " + protocol + (line.find(".local") != std::string::npos ? " mdns" : "");
}

std::string negotiatedMedia(const std::string& sdp) {
    std::string joined;
    size_t start = 0;
    while (start <= sdp.size()) {
        size_t end = sdp.find("\r\n", start);
        std::string line = sdp.substr(start, end == std::string::npos ? std::string::npos : end - start);
        bool keep = line.rfind("m=video", 0) == 0 || line.rfind("a=rtpmap:", 0) == 0 ||
                    line == "a=sendonly" || line == "a=recvonly" || line == "a=inactive";
        if (keep) joined += (joined.empty() ? "" : ";") + line;
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return joined;
}

std::string sessionErrorText(const std::string& code) {
    static const std::map<std::string, std::string> texts = {
        {"pairing_invalid", "设备码或临时密码不正确，或已过期"},
        {"pairing_locked", "错误次数过多，请让对方换一个临时密码"},
        {"device_offline", "对方设备不在线"},
        {"media_not_ready", "对方还没有开启屏幕共享和互联网连接"},
        {"device_busy", "对方正在被其他设备连接"},
        {"controller_not_ready", "本机账号连接未就绪，请稍后重试"},
        {"rate_limited", "尝试太频繁，请一分钟后再试"},
        {"same_device", "不能连接本机"},
        {"device_not_found", "找不到该设备，它可能已被移除；请刷新设备列表后重试"},
    };
    auto it = texts.find(code);
    return it == texts.end() ? code : it->second;
}

std::string endReasonText(const std::string& reason) {
    static const std::map<std::string, std::string> texts = {
        {"rejected", "对方拒绝了本次连接"},
        {"host_ended", "对方已停止共享"},
        {"signal_closed", "对方的网络信令已断开，请稍后重新连接"},
    };
    auto it = texts.find(reason);
    return it == texts.end() ? "远端已结束会话：" + reason : it->second;
}

std::shared_ptr<CloudRTCClient> CloudRTCClient::create(CloudAccess access, std::string target,
                                                       std::optional<Guest> guest,
                                                       std::optional<std::string> lane, Options options) {
    return std::shared_ptr<CloudRTCClient>(new CloudRTCClient(
        std::move(access), std::move(target), std::move(guest), std::move(lane), std::move(options)));
}

CloudRTCClient::CloudRTCClient(CloudAccess access, std::string target, std::optional<Guest> guest,
                               std::optional<std::string> lane, Options options)
    : access(std::move(access)), target(std::move(target)), guest(std::move(guest)), lane(std::move(lane)),
      options(std::move(options)), main(this->options.main ? *this->options.main : mainQueue()),
      network(std::make_shared<net::HttpClient>(
          net::HttpClient::Options{"quorlinth.session", this->options.caFile})),
      attemptStart(Clock::now()), generation(uuidV4()) {}

CloudRTCClient::~CloudRTCClient() = default;

void CloudRTCClient::onQueue(std::function<void(CloudRTCClient&)> task) {
    queue.post([weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) task(*self);
    });
}

void CloudRTCClient::onMain(std::function<void(CloudRTCClient&)> task) {
    main.post([weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) task(*self);
    });
}

void CloudRTCClient::status(const std::string& text) {
    logRTC(text);
    onMain([text](CloudRTCClient& self) {
        if (self.onStatus) self.onStatus(text);
    });
}

// MARK: Public entry points

void CloudRTCClient::start() {
    onQueue([](CloudRTCClient& self) { self.startOnQueue(); });
}

void CloudRTCClient::startOnQueue() {
    attemptStart = Clock::now();
    if (!pathMonitor && !externalSend && options.makePathMonitor) {
        pathMonitor = options.makePathMonitor();
        pathMonitor->start(queue, [this](const NetworkPath& path) { pathUpdated(path); });
    }
    if (stopped) return;
    connectSignal();
}

void CloudRTCClient::startExternal(std::function<void(Json)> send, std::string externalSessionID,
                                   std::string platform) {
    onQueue([send = std::move(send), externalSessionID, platform](CloudRTCClient& self) {
        if (self.stopped) return;
        self.externalSend = send;
        self.sessionID = externalSessionID;
        self.targetPlatform = platform;
        self.timeout = self.queue.after(self.options.timings.externalAttempt, [&self] {
            self.fail("局域网连接超时，请确认两台 Mac 在同一网络", true);
        });
        self.setupPeer({});
    });
}

void CloudRTCClient::receiveExternal(Json message) {
    onQueue([message = std::move(message)](CloudRTCClient& self) {
        if (!self.stopped) self.handleSignal(message);
    });
}

void CloudRTCClient::sendControl(Json message) {
    onQueue([message = std::move(message)](CloudRTCClient& self) { self.sendControlOnQueue(message); });
}

void CloudRTCClient::setOnTransferChannel(std::function<void(std::shared_ptr<RTCDataChannel>)> callback) {
    onQueue([callback = std::move(callback)](CloudRTCClient& self) { self.onTransferChannel = callback; });
}

void CloudRTCClient::setViewport(std::optional<Viewport> requested) {
    onQueue([requested](CloudRTCClient& self) { self.viewport = requested; });
}

void CloudRTCClient::sendViewport() {
    onQueue([](CloudRTCClient& self) {
        if (!isDesktopPlatform(self.targetPlatform) || !self.viewport) return;
        const Viewport& v = *self.viewport;
        self.sendControlOnQueue({{"type", "viewport"},
                                 {"width", v.width},
                                 {"height", v.height},
                                 {"scale", v.scale},
                                 {"fit", v.fit}});
    });
}

void CloudRTCClient::stop() {
    // A strong reference: the stop must finish even when the owner lets go right after.
    queue.post([self = shared_from_this()] {
        if (self->stopped) return;
        logRTC("local stop requested");
        self->teardown(true);
    });
}

// MARK: Signaling

void CloudRTCClient::connectSignal() {
    auto url = signalingURL(access.base);
    if (!url) return fail("信令地址无效", false);
    net::HttpHeaders headers = {{"Authorization", "Bearer " + access.deviceToken},
                                {"X-Device-ID", access.deviceID}};
    if (lane) headers.emplace_back("X-Quorlinth-Lane", *lane);
    auto client = std::make_shared<net::WebSocketClient>(net::WebSocketClient::Options{options.caFile});
    socket = client;
    const net::WebSocketClient* identity = client.get();
    auto forCurrentSocket = [weak = weak_from_this(), identity](std::function<void(CloudRTCClient&)> task) {
        if (auto self = weak.lock())
            self->onQueue([identity, task = std::move(task)](CloudRTCClient& client) {
                if (client.stopped || client.socket.get() != identity) return;
                task(client);
            });
    };
    net::WebSocketClient::Events events;
    events.onText = [forCurrentSocket](std::string text) {
        forCurrentSocket([text = std::move(text)](CloudRTCClient& self) { self.handleSignalText(text); });
    };
    events.onBinary = [forCurrentSocket](size_t) {
        forCurrentSocket([](CloudRTCClient& self) { self.fail("收到无效信令", false); });
    };
    events.onFailure = [forCurrentSocket](net::WebSocketFailure failure) {
        forCurrentSocket([failure](CloudRTCClient& self) {
            if (failure.tooLarge) return self.fail("收到无效信令", false);
            if (failure.closeCode)
                logRTC("signal websocket closed code=" + std::to_string(*failure.closeCode));
            logRTC("signal receive failed domain=" + failure.domain + " code=" +
                   std::to_string(failure.code) + " close=" + std::to_string(failure.closeCode.value_or(0)));
            self.signalLost("网络信令已断开，请重新连接");
        });
    };
    client->connect(*url, std::move(headers), std::move(events));
    status("正在连接账号信令服务");
    timeout = queue.after(options.timings.attempt, [this] {
        fail("连接或授权超时：对方没有回应，请确认对方设备已开启共享并且在线", true);
    });
}

void CloudRTCClient::handleSignalText(const std::string& text) {
    auto message = parseJsonObject(text);
    if (!message) return fail("收到无效信令", false);
    handleSignal(*message);
}

void CloudRTCClient::handleSignal(const Json& message) {
    auto type = field::string(message, "type");
    if (!type) return;
    logRTC("signal " + *type);
    if (*type == "ready") {
        requestSession();
        heartbeatTimer = queue.every(options.timings.heartbeat, options.timings.heartbeat, [this] {
            if (socket) socket->ping([](Result<void>) {});
        });
        return;
    }
    auto messageSession = signalSessionID(message);
    if (!messageSession) return;
    if (!sessionID.empty() && *messageSession != sessionID) return;
    sessionID = *messageSession;
    if (*type == "end") {
        std::string reason = field::string(message, "reason", "");
        fail(endReasonText(reason), reason == "signal_closed");
    } else if (*type == "accepted") {
        setupPeer(parseIceServers(message));
    } else if (*type == "answer") {
        auto sdp = field::string(message, "sdp");
        if (sdp && peer) handleAnswer(*sdp);
    } else if (*type == "ice") {
        handleRemoteCandidate(message);
    }
}

void CloudRTCClient::handleRemoteCandidate(const Json& message) {
    auto line = field::string(message, "candidate");
    if (!line) return;
    logRTC("remote candidate " + candidateSummary(*line));
    auto candidate = parseIceCandidate(message);
    if (!candidate) return; // a line index beyond 32 bits is never applied
    if (!remoteSet) {
        if (candidates.size() < kMaxEarlyCandidates) candidates.push_back(*candidate);
        return;
    }
    if (peer) peer->addIceCandidate({candidate->candidate, candidate->sdpMid, candidate->sdpMLineIndex});
}

void CloudRTCClient::sendSignal(const Json& message) {
    if (externalSend) {
        if (!stopped) externalSend(message);
        return;
    }
    if (!socket) return;
    socket->sendText(dumpJson(message), [weak = weak_from_this()](Result<void> sent) {
        if (sent) return;
        if (auto self = weak.lock())
            self->onQueue([](CloudRTCClient& client) { client.signalLost("信令发送失败"); });
    });
}

// MARK: Session request

void CloudRTCClient::requestSession() {
    Json body =
        guest ? Json{{"code", guest->code}, {"password", guest->password}, {"controller_id", access.deviceID}}
              : Json{{"device_id", target}, {"controller_id", access.deviceID}};
    net::HttpRequest request;
    request.method = "POST";
    request.url = access.base + (guest ? "/v1/guest-sessions" : "/v1/sessions");
    request.headers = {{"Authorization", "Bearer " + access.accountToken},
                       {"Content-Type", "application/json"}};
    if (lane) request.headers.emplace_back("X-Quorlinth-Lane", *lane);
    request.body = dumpJson(body);
    request.timeout = Millis(12'000);
    request.maxBodyBytes = kMaxSessionReplyBytes;
    network->send(std::move(request), [weak = weak_from_this()](Result<net::HttpResponse> response) {
        auto self = weak.lock();
        if (!self) return;
        Result<std::pair<unsigned, std::string>> reply =
            response
                ? Result<std::pair<unsigned, std::string>>(std::pair{
                      response.value().status, response.value().bodyTooLarge ? "" : response.value().body})
                : Result<std::pair<unsigned, std::string>>(Error{response.error()});
        self->onQueue([reply](CloudRTCClient& client) { client.sessionReplied(reply); });
    });
}

void CloudRTCClient::sessionReplied(Result<std::pair<unsigned, std::string>> reply) {
    if (stopped) return;
    if (!reply) return fail("无法连接：" + reply.error(), true); // transport errors are worth retrying
    auto [statusCode, body] = reply.value();
    auto object = body.empty() ? std::nullopt : parseJsonObject(body);
    if (statusCode < 200 || statusCode > 299 || !object) {
        std::string code = object ? field::string(*object, "error", "服务请求失败") : "服务请求失败";
        bool recoverable = isRetryableSessionError(code) || (statusCode >= 500 && statusCode <= 599);
        return fail("无法连接：" + sessionErrorText(code), recoverable);
    }
    if (auto replied = field::string(*object, "session_id")) sessionID = *replied;
    if (const Json* device = field::object(*object, "device")) {
        auto platform = field::string(*device, "platform");
        auto name = field::string(*device, "name");
        if (platform && name) {
            targetPlatform = *platform;
            openTransferChannel();
            bool viewOnly = field::boolean(*object, "view_only", *platform == "ios");
            onMain([name = *name, platform = *platform, viewOnly](CloudRTCClient& self) {
                if (self.onTarget) self.onTarget(name, platform, viewOnly);
            });
        }
    }
    status("等待对方在设备上允许本次连接");
}

// MARK: Peer connection

void CloudRTCClient::setupPeer(const std::vector<RTCIceServer>& iceServers) {
    if (peer) return;
    status("正在初始化 WebRTC 解码器");
    if (!RTCPeerConnectionFactory::initialize()) return fail("无法创建视频会话", false);
    logRTC("TURN " + relaySummary(iceServers));
    factory = std::make_shared<RTCPeerConnectionFactory>(RTCPeerConnectionFactoryOptions{true, true}, nullptr,
                                                         std::make_shared<AVCDecoderFactory>());
    RTCConfiguration configuration;
    configuration.iceServers = iceServers;
    configuration.localAddresses = options.iceAddresses;
    auto created = factory->peerConnection(configuration, weak_from_this());
    if (!created) return fail("无法创建视频会话", false);
    peer = created.value();

    linkTimer.cancel();
    linkTicks = 0;
    linkSample.reset();
    iceStart.reset();
    linkTimer = queue.every(options.timings.linkTick, options.timings.linkTick, [this] { linkTick(); });
    status("WebRTC 接收器已创建");

    std::vector<RTCVideoCodecInfo> preferences;
    for (const auto& codec : factory->videoReceiverCapabilities())
        if (strcasecmp(codec.name.c_str(), "H264") == 0) preferences.push_back(codec);
    (void)peer->addReceiveOnlyVideoTransceiver(preferences);
    peer->setVideoRenderer(weak_from_this());

    if (auto channel = peer->createDataChannel("control")) {
        control = channel.value();
        control->setDelegate(weak_from_this());
    }
    openTransferChannel();
    createOffer();
    status("已授权，正在建立加密视频连接");
}

// Desktop targets get the "transfer" channel. A host that accepts at once can have its "accepted"
// arrive before the session reply names its platform; the channel then opens late, in band over
// the association the "control" channel already set up.
void CloudRTCClient::openTransferChannel() {
    if (!peer || transfer || !isDesktopPlatform(targetPlatform)) return;
    if (auto channel = peer->createDataChannel("transfer")) {
        transfer = channel.value();
        if (onTransferChannel) onTransferChannel(transfer);
    }
}

void CloudRTCClient::createOffer() {
    auto issued = generation;
    auto connection = peer;
    connection->createOffer(
        [weak = weak_from_this(), issued, connection](Result<RTCSessionDescription> offer) {
            auto self = weak.lock();
            if (!self) return;
            self->onQueue([issued, connection, offer](CloudRTCClient& client) {
                if (client.stopped || client.generation != issued) return;
                if (!offer) return client.fail("无法创建视频请求", false);
                client.status("视频请求已生成");
                connection->setLocalDescription(offer.value(), [weak = client.weak_from_this(), issued,
                                                                sdp = offer.value().sdp](Result<void> set) {
                    auto self = weak.lock();
                    if (!self) return;
                    self->onQueue([issued, sdp, ok = set.ok()](CloudRTCClient& client) {
                        if (client.stopped || client.generation != issued) return;
                        if (!ok) return client.fail("本地视频协商失败", false);
                        client.sendSignal(makeSdpSignal("offer", client.sessionID, sdp));
                    });
                });
            });
        });
}

void CloudRTCClient::handleAnswer(const std::string& sdp) {
    auto issued = generation;
    auto connection = peer;
    connection->setRemoteDescription({RTCSdpType::answer, sdp}, [weak = weak_from_this(), issued, connection,
                                                                 sdp](Result<void> set) {
        auto self = weak.lock();
        if (!self) return;
        self->onQueue([issued, connection, sdp, ok = set.ok()](CloudRTCClient& client) {
            if (client.stopped || client.generation != issued) return;
            if (!ok) return client.fail("远端视频协商失败", false);
            client.remoteSet = true;
            logRTC("negotiated media " + negotiatedMedia(sdp));
            for (const auto& candidate : client.candidates)
                connection->addIceCandidate({candidate.candidate, candidate.sdpMid, candidate.sdpMLineIndex});
            client.candidates.clear();
        });
    });
}

void CloudRTCClient::peerConnectionDidGenerateCandidate(RTCPeerConnection& from,
                                                        const RTCIceCandidate& candidate) {
    onQueue([&from, candidate](CloudRTCClient& self) {
        if (self.stopped || !self.isCurrent(from)) return;
        logRTC("local candidate " + candidateSummary(candidate.sdp));
        self.sendSignal(
            makeIceSignal(self.sessionID, {candidate.sdp, candidate.sdpMid, candidate.sdpMLineIndex}));
    });
}

void CloudRTCClient::peerConnectionDidFailGathering(RTCPeerConnection&, const RTCIceGatheringError& error) {
    std::string line = "ICE gather error code=" + std::to_string(error.errorCode);
    if (error.errorCode == 701) line += " STUN/TURN endpoint unreachable on this network";
    if (error.errorCode == 486) line += " TURN allocation quota exhausted";
    logRTC(line);
}

void CloudRTCClient::peerConnectionDidAddVideoTrack(RTCPeerConnection& from) {
    onQueue([&from](CloudRTCClient& self) {
        if (self.stopped || !self.isCurrent(from) || self.trackAttached) return;
        self.trackAttached = true;
        logRTC("video renderer attached");
    });
}

void CloudRTCClient::renderFrame(const RTCVideoFrame& frame) {
    {
        std::lock_guard guard(frameGate);
        if (framesClosed) return;
        frames.store(frame);
    }
    onQueue([width = frame.width, height = frame.height](CloudRTCClient& self) {
        self.frameArrived(width, height);
    });
}

void CloudRTCClient::frameArrived(int width, int height) {
    if (stopped) return;
    receivedFrames += 1;
    timeout.cancel();
    if (receivedFrames % 20 == 0)
        onMain([count = receivedFrames](CloudRTCClient& self) {
            if (self.onProgress) self.onProgress(count);
        });
    if (dimensions != std::pair{width, height}) {
        dimensions = {width, height};
        onMain([width, height](CloudRTCClient& self) {
            if (self.onFrame) self.onFrame(width, height);
        });
    }
}

// MARK: Connection state and diagnostics

void CloudRTCClient::peerConnectionDidChangeIceConnectionState(RTCPeerConnection& from,
                                                               RTCIceConnectionState state) {
    onQueue([&from, state](CloudRTCClient& self) {
        if (self.isCurrent(from)) self.iceStateChanged(state);
    });
}

void CloudRTCClient::iceStateChanged(RTCIceConnectionState state) {
    int number = static_cast<int>(state);
    if (state == RTCIceConnectionState::checking && !iceStart) iceStart = Clock::now();
    std::string line = "ice state " + std::to_string(number) +
                       " (0 new,1 checking,2 connected,3 completed,4 failed,5 disconnected,6 closed)";
    if (number > 1) {
        if (iceStart) line += oneDecimal(" ICE 用时 %.1fs", secondsSince(*iceStart));
        line += oneDecimal(" 自开始 %.1fs", secondsSince(attemptStart));
    }
    logRTC(line);
    bool failed = state == RTCIceConnectionState::failed;
    if ((!failed && state != RTCIceConnectionState::disconnected) || stopped) return;
    if (pathMonitor) logRTC("网络 断开时 " + describePath(pathMonitor->currentPath()));
    linkSummary(failed ? "ICE失败" : "ICE断开");
    if (failed) fail(kIceFailedText, false);
}

void CloudRTCClient::peerConnectionDidChangeConnectionState(RTCPeerConnection& from,
                                                            RTCPeerConnectionState state) {
    onQueue([&from, state](CloudRTCClient& self) {
        if (self.isCurrent(from)) self.connectionStateChanged(state);
    });
}

void CloudRTCClient::connectionStateChanged(RTCPeerConnectionState state) {
    routeTimer.cancel();
    if (state != RTCPeerConnectionState::connected) return setMediaRoute(std::nullopt);
    if (!checkingRoute) checkRoute();
    if (onRoute)
        routeTimer = queue.every(options.timings.routeCheck, options.timings.routeCheck, [this] {
            if (!checkingRoute) checkRoute();
        });
}

void CloudRTCClient::checkRoute() {
    if (!peer) return;
    checkingRoute = true;
    auto connection = peer;
    connection->statistics([weak = weak_from_this(), connection](RTCStatisticsReport report) {
        auto self = weak.lock();
        if (!self) return;
        self->onQueue([connection, report = std::move(report)](CloudRTCClient& client) {
            client.checkingRoute = false;
            if (client.stopped || client.peer != connection ||
                connection->connectionState() != RTCPeerConnectionState::connected)
                return;
            StatsMap stats = statsMap(report);
            client.statsTicks += 1;
            if (client.statsTicks % 4 == 2) {
                if (auto line = videoLine(client.videoSample, stats, secondsSince1970())) {
                    client.videoSample = line->second;
                    logRTC(line->first.substr(4)); // videoLine already begins with "RTC "
                }
            }
            auto found = selectedRoute(stats);
            if (!found) return client.setMediaRoute(std::nullopt);
            if (found->route != client.mediaRoute)
                logRTC("route local=" + found->localType + "/" + found->localProtocol +
                       " remote=" + found->remoteType + "/" + found->remoteProtocol);
            client.setMediaRoute(found->route);
        });
    });
}

void CloudRTCClient::setMediaRoute(std::optional<RTCMediaRoute> newRoute) {
    if (newRoute == mediaRoute) return;
    mediaRoute = newRoute;
    if (newRoute) logRTC("selected route " + routeTitle(*newRoute));
    if (onRoute) {
        onMain([newRoute](CloudRTCClient& self) { self.onRoute(newRoute); });
    } else if (newRoute) {
        status("已连接 · " + routeTitle(*newRoute));
    }
}

void CloudRTCClient::linkTick() {
    linkTicks += 1;
    if (linkTicks % 2 == 0) linkSummary("");
}

void CloudRTCClient::linkSummary(const std::string& label) {
    if (stopped || !peer) return;
    peer->statistics([weak = weak_from_this(), label](RTCStatisticsReport report) {
        auto self = weak.lock();
        if (!self) return;
        self->onQueue([label, report = std::move(report)](CloudRTCClient& client) {
            if (client.stopped) return;
            auto [text, sample] =
                LinkDiagnostics::describe(client.linkSample, statsMap(report), secondsSince1970());
            client.linkSample = sample;
            logRTC("链路" + (label.empty() ? "" : "（" + label + "时）") + " " + text);
        });
    });
}

void CloudRTCClient::pathUpdated(const NetworkPath& path) {
    if (stopped) return;
    std::string description = describePath(path);
    if (description == lastPathText) return;
    logRTC((lastPathText.empty() ? "网络 " : "网络变化 ") + description);
    lastPathText = description;
}

void CloudRTCClient::dataChannelDidChangeState(RTCDataChannel& channel) {
    if (channel.readyState() != RTCDataChannelState::open) return;
    onQueue([&channel](CloudRTCClient& self) {
        if (self.control.get() == &channel) self.sendViewport();
    });
}

// MARK: Control channel

void CloudRTCClient::sendControlOnQueue(const Json& message) {
    bool reported = false;
    if (field::string(message, "type") == "pointer" && inputReportsRemaining >= 1) {
        --inputReportsRemaining;
        reported = true;
    }
    if (!stopped && control && control->readyState() == RTCDataChannelState::open &&
        control->bufferedAmount() < kControlBufferLimit) {
        bool sent = control->sendText(dumpJson(message));
        if (reported) {
            bool valid = validCoordinate(message, "x") && validCoordinate(message, "y");
            logRTC("pointer mask=" + std::to_string(field::int64(message, "mask", -1)) +
                   " valid=" + (valid ? "true" : "false") + " sent=" + (sent ? "true" : "false"));
        }
        return;
    }
    if (reported)
        logRTC(std::string("pointer dropped: stopped=") + (stopped ? "true" : "false") +
               " channel=" + (control ? std::to_string(static_cast<int>(control->readyState())) : "none") +
               " buffered=" + std::to_string(control ? control->bufferedAmount() : 0));
}

// MARK: Failure and tear-down

// The picture travels peer to peer: once it arrives, the signaling socket is only needed to say
// "end", so losing it (the service restarting, a proxy timing out) leaves the session running.
// Before the first frame the attempt still needs the service and fails.
void CloudRTCClient::signalLost(const std::string& message) {
    if (stopped) return;
    if (receivedFrames == 0) return fail(message, true);
    logRTC("signal lost while streaming decoded=" + std::to_string(receivedFrames) +
           "; the picture continues");
    heartbeatTimer.cancel();
    if (socket) socket->close(1001);
    socket.reset();
}

void CloudRTCClient::fail(const std::string& message, bool recoverable) {
    if (stopped) return;
    logRTC("failure decoded=" + std::to_string(receivedFrames) +
           " ice=" + std::to_string(peer ? static_cast<int>(peer->iceConnectionState()) : -1));
    teardown(true);
    onMain([message, recoverable](CloudRTCClient& self) {
        if (recoverable && self.onRecoverableFailure)
            self.onRecoverableFailure(message);
        else if (self.onFailure)
            self.onFailure(message);
    });
}

void CloudRTCClient::teardown(bool sendEnd) {
    if (stopped) return;
    if (sendEnd && !sessionID.empty()) sendSignal(makeSignal("end", sessionID));
    stopped = true;
    generation = uuidV4();
    timeout.cancel();
    heartbeatTimer.cancel();
    routeTimer.cancel();
    setMediaRoute(std::nullopt);
    linkTimer.cancel();
    if (pathMonitor) pathMonitor->cancel();
    pathMonitor.reset();
    trackAttached = false;
    if (control) {
        control->setDelegate({});
        control->close();
        control.reset();
    }
    if (transfer) {
        transfer->close();
        transfer.reset();
        if (onTransferChannel) onTransferChannel(nullptr);
    }
    if (peer) {
        peer->setDelegate({});
        peer->setVideoRenderer({});
        peer->close();
        peer.reset();
    }
    if (socket) socket->close(1000);
    socket.reset();
    network.reset();
    candidates.clear();
    std::lock_guard guard(frameGate);
    framesClosed = true;
    frames.clear();
}

} // namespace quorlinth
