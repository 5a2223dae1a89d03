#include "ScriptedController.h"

namespace quorlinth::testing {

Result<std::shared_ptr<ScriptedController>> ScriptedController::create(Options options) {
    auto controller = std::shared_ptr<ScriptedController>(new ScriptedController(std::move(options)));
    if (auto started = controller->start(); !started) return Error{started.error()};
    return controller;
}

ScriptedController::~ScriptedController() {
    close();
}

Result<void> ScriptedController::start() {
    if (auto ready = RTCPeerConnectionFactory::initialize(); !ready) return ready;
    factory = std::make_shared<RTCPeerConnectionFactory>(RTCPeerConnectionFactoryOptions{true, true},
                                                         std::make_shared<RTCDefaultVideoEncoderFactory>(),
                                                         std::make_shared<RTCDefaultVideoDecoderFactory>());
    RTCConfiguration configuration;
    configuration.iceServers = options.iceServers;
    configuration.iceTransportPolicy = options.policy;
    configuration.localAddresses = {options.address};
    auto created = factory->peerConnection(configuration, weak_from_this());
    if (!created) return Error{created.error()};
    peer = created.value();
    if (auto added = peer->addReceiveOnlyVideoTransceiver(factory->videoReceiverCapabilities()); !added)
        return added;
    peer->setVideoRenderer(weak_from_this());
    for (const char* label : {"control", "transfer"}) {
        auto channel = peer->createDataChannel(label);
        if (!channel) return Error{channel.error()};
        channels.push_back(channel.value());
    }
    return {};
}

void ScriptedController::fail(const std::string& text) {
    std::lock_guard lock(mutex);
    if (!error) error = text;
}

void ScriptedController::makeOffer() {
    std::weak_ptr<ScriptedController> weak = weak_from_this();
    peer->createOffer([weak](Result<RTCSessionDescription> created) {
        auto self = weak.lock();
        if (!self) return;
        if (!created) return self->fail("offer: " + created.error());
        self->peer->setLocalDescription(created.value(), [weak, sdp = created.value().sdp](Result<void> set) {
            auto self = weak.lock();
            if (!self) return;
            if (!set) return self->fail("local description: " + set.error());
            std::lock_guard lock(self->mutex);
            self->offer = sdp;
        });
    });
}

std::optional<std::string> ScriptedController::offerSdp() const {
    std::lock_guard lock(mutex);
    return offer;
}

void ScriptedController::applyAnswer(const std::string& sdp) {
    std::weak_ptr<ScriptedController> weak = weak_from_this();
    peer->setRemoteDescription({RTCSdpType::answer, sdp}, [weak](Result<void> set) {
        auto self = weak.lock();
        if (!self) return;
        if (!set) return self->fail("remote description: " + set.error());
        self->early.remoteApplied(self->peer);
    });
}

void ScriptedController::addRemoteCandidate(const IceCandidate& candidate) {
    early.add(peer, {candidate.candidate, candidate.sdpMid, candidate.sdpMLineIndex});
}

std::vector<IceCandidate> ScriptedController::localCandidates() const {
    std::lock_guard lock(mutex);
    return candidates;
}

uint64_t ScriptedController::framesDecoded() const {
    std::lock_guard lock(mutex);
    return frames;
}

std::pair<int, int> ScriptedController::lastFrameSize() const {
    std::lock_guard lock(mutex);
    return frameSize;
}

RTCPeerConnectionState ScriptedController::state() const {
    std::lock_guard lock(mutex);
    return peerState;
}

std::optional<std::string> ScriptedController::failure() const {
    std::lock_guard lock(mutex);
    return error;
}

void ScriptedController::close() {
    if (peer) peer->close();
}

void ScriptedController::peerConnectionDidGenerateCandidate(RTCPeerConnection&,
                                                            const RTCIceCandidate& candidate) {
    std::lock_guard lock(mutex);
    candidates.push_back({candidate.sdp, candidate.sdpMid, candidate.sdpMLineIndex});
}

void ScriptedController::peerConnectionDidChangeConnectionState(RTCPeerConnection&,
                                                                RTCPeerConnectionState state) {
    std::lock_guard lock(mutex);
    peerState = state;
}

void ScriptedController::renderFrame(const RTCVideoFrame& frame) {
    std::lock_guard lock(mutex);
    ++frames;
    frameSize = {frame.width, frame.height};
}

} // namespace quorlinth::testing
