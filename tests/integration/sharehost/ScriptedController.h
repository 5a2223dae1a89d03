#pragma once

#include "EarlyCandidates.h"
#include "rtc/RTCFactory.h"
#include "signaling/SignalMessages.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::testing {

// The controlling end of a session as a test drives it: a receive-only peer connection on the
// WebRTC engine (with the "control" and "transfer" channels) whose offer, answer and
// candidates the test carries by hand, so it decides what is sent and when. Thread-safe:
// engine events land under a lock and the test reads snapshots. Host candidates that come
// before the answer wait for it.
class ScriptedController : public RTCPeerConnectionDelegate,
                           public RTCVideoRenderer,
                           public std::enable_shared_from_this<ScriptedController> {
public:
    struct Options {
        std::vector<RTCIceServer> iceServers;
        RTCIceTransportPolicy policy = RTCIceTransportPolicy::all;
        std::string address = "127.0.0.1";
    };

    static Result<std::shared_ptr<ScriptedController>> create(Options options);
    ~ScriptedController() override;

    // Creates the offer and sets it as local description; offerSdp() has it once done.
    void makeOffer();
    std::optional<std::string> offerSdp() const;
    void applyAnswer(const std::string& sdp);
    void addRemoteCandidate(const IceCandidate& candidate);
    std::vector<IceCandidate> localCandidates() const;

    uint64_t framesDecoded() const;
    std::pair<int, int> lastFrameSize() const;
    RTCPeerConnectionState state() const;
    std::optional<std::string> failure() const;
    void close();

    void peerConnectionDidGenerateCandidate(RTCPeerConnection& peer,
                                            const RTCIceCandidate& candidate) override;
    void peerConnectionDidChangeConnectionState(RTCPeerConnection& peer,
                                                RTCPeerConnectionState state) override;
    void renderFrame(const RTCVideoFrame& frame) override;

private:
    explicit ScriptedController(Options options) : options(std::move(options)) {}
    Result<void> start();
    void fail(const std::string& text);

    Options options;
    std::shared_ptr<RTCPeerConnectionFactory> factory;
    std::shared_ptr<RTCPeerConnection> peer;
    std::vector<std::shared_ptr<RTCDataChannel>> channels;

    mutable std::mutex mutex;
    std::optional<std::string> offer;
    EarlyCandidates early; // host candidates that came before the answer
    std::vector<IceCandidate> candidates;
    uint64_t frames = 0;
    std::pair<int, int> frameSize{0, 0};
    RTCPeerConnectionState peerState = RTCPeerConnectionState::newState;
    std::optional<std::string> error;
};

} // namespace quorlinth::testing
