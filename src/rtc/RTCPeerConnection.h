#pragma once

#include "base/Result.h"
#include "rtc/RTCDataChannel.h"
#include "rtc/RTCRtpSender.h"
#include "rtc/RTCTypes.h"
#include "rtc/RTCVideoFrame.h"
#include "rtc/RTCVideoSource.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth {

class RTCPeerConnection;

// Peer-connection events, delivered in order on the connection's own engine thread
// ("quorlinth.rtc"): owners copy what they need and hop to their queue. Each call names the
// connection, so an owner can ignore events of a connection it has replaced.
class RTCPeerConnectionDelegate {
public:
    virtual ~RTCPeerConnectionDelegate() = default;
    virtual void peerConnectionDidGenerateCandidate(RTCPeerConnection& peer,
                                                    const RTCIceCandidate& candidate) {}
    virtual void peerConnectionDidChangeIceConnectionState(RTCPeerConnection& peer,
                                                           RTCIceConnectionState state) {}
    virtual void peerConnectionDidChangeConnectionState(RTCPeerConnection& peer,
                                                        RTCPeerConnectionState state) {}
    virtual void peerConnectionDidFailGathering(RTCPeerConnection& peer, const RTCIceGatheringError& error) {}
    // A channel the remote opened (label known).
    virtual void peerConnectionDidOpenDataChannel(RTCPeerConnection& peer,
                                                  std::shared_ptr<RTCDataChannel> channel) {}
    // Remote video started arriving; frames go to the renderer set with setVideoRenderer.
    virtual void peerConnectionDidAddVideoTrack(RTCPeerConnection& peer) {}
};

// One WebRTC peer connection. Methods may be called from any thread; completions run on the
// connection's engine thread. close() (also run by the destructor) is idempotent and stops every
// callback; never drop the last reference inside a renderer callback.
class RTCPeerConnection {
public:
    struct Impl;
    explicit RTCPeerConnection(std::shared_ptr<Impl> impl);
    ~RTCPeerConnection();
    RTCPeerConnection(const RTCPeerConnection&) = delete;
    RTCPeerConnection& operator=(const RTCPeerConnection&) = delete;

    void setDelegate(std::weak_ptr<RTCPeerConnectionDelegate> delegate);

    // Offerer side: a receive-only video transceiver preferring these codecs in this order
    // (H.264 entries are used; their parameters go into the offer as they stand).
    Result<void> addReceiveOnlyVideoTransceiver(const std::vector<RTCVideoCodecInfo>& codecPreferences);
    void setVideoRenderer(std::weak_ptr<RTCVideoRenderer> renderer);

    // Answerer side: the send-only video sender fed from `source`. Add it before the offer is
    // applied: the engine builds the sender to match the offer's H.264 payload.
    Result<std::shared_ptr<RTCRtpSender>> addVideoSender(std::shared_ptr<RTCVideoSource> source);
    std::vector<std::shared_ptr<RTCRtpSender>> senders() const;

    // An ordered, reliable channel; create channels before the offer.
    Result<std::shared_ptr<RTCDataChannel>> createDataChannel(const std::string& label);

    void createOffer(std::function<void(Result<RTCSessionDescription>)> done);
    void createAnswer(std::function<void(Result<RTCSessionDescription>)> done);
    void setLocalDescription(const RTCSessionDescription& description,
                             std::function<void(Result<void>)> done);
    void setRemoteDescription(const RTCSessionDescription& description,
                              std::function<void(Result<void>)> done);
    void addIceCandidate(const RTCIceCandidate& candidate);

    RTCIceConnectionState iceConnectionState() const;
    RTCPeerConnectionState connectionState() const;

    void statistics(std::function<void(RTCStatisticsReport)> done);

    void close();

private:
    void createDescription(bool offer, std::function<void(Result<RTCSessionDescription>)> done);
    void applyDescription(bool local, const RTCSessionDescription& description,
                          std::function<void(Result<void>)> done);
    std::shared_ptr<Impl> impl;
};

} // namespace quorlinth
