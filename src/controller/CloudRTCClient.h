#pragma once

#include "base/Json.h"
#include "base/MainQueue.h"
#include "base/SerialQueue.h"
#include "controller/LinkDiagnostics.h"
#include "controller/VideoFrameStore.h"
#include "platform/NetworkPathMonitor.h"
#include "rtc/RTCFactory.h"
#include "signaling/SignalMessages.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

namespace net {
class HttpClient;
class WebSocketClient;
} // namespace net

// The credentials a network component needs.
struct CloudAccess {
    std::string base;
    std::string accountToken;
    std::string deviceID;
    std::string deviceToken;
};

// The controlling side of one connection attempt: asks the service for a session with a
// target, negotiates a receive-only H.264 peer connection with "control" (and, for Mac
// targets, "transfer") channels, and keeps the newest decoded picture in `frames`. One
// instance per attempt. State lives on "quorlinth.webrtc"; owner callbacks run on the main
// queue except the transfer-channel callback, which runs on the client's queue.
class CloudRTCClient : public std::enable_shared_from_this<CloudRTCClient>,
                       public RTCPeerConnectionDelegate,
                       public RTCDataChannelDelegate,
                       public RTCVideoRenderer {
public:
    struct Guest {
        std::string code;
        std::string password;
    };
    struct Viewport {
        int width = 0;
        int height = 0;
        double scale = 1;
        bool fit = false;
    };
    struct Timings {
        Millis attempt{45'000};
        Millis externalAttempt{30'000};
        Millis heartbeat{15'000};
        Millis routeCheck{3'000};
        Millis linkTick{2'000};
    };
    struct Options {
        std::optional<std::filesystem::path> caFile;
        // ICE addresses to gather on (a test namespace's loopback); adapters' rules otherwise.
        std::vector<std::string> iceAddresses;
        Timings timings;
        // Where owner callbacks run; the process's main queue when unset.
        Dispatcher* main = nullptr;
        // Makes the network path monitor of a cloud attempt; none when unset.
        std::function<std::unique_ptr<NetworkPathMonitor>()> makePathMonitor;
    };

    static std::shared_ptr<CloudRTCClient> create(CloudAccess access, std::string target,
                                                  std::optional<Guest> guest, std::optional<std::string> lane,
                                                  Options options);
    ~CloudRTCClient() override;

    VideoFrameStore frames;

    // Set before start.
    std::function<void(std::string name, std::string platform, bool viewOnly)> onTarget;
    std::function<void(std::string text)> onStatus;
    std::function<void(int width, int height)> onFrame;
    std::function<void(std::string text)> onFailure;
    std::function<void(std::string text)> onRecoverableFailure;
    std::function<void(int frames)> onProgress;
    std::function<void(std::optional<RTCMediaRoute>)> onRoute;
    // The callback runs on the client's queue; both setters may be called from any thread and
    // take effect in order with later calls.
    void setOnTransferChannel(std::function<void(std::shared_ptr<RTCDataChannel>)> callback);
    void setViewport(std::optional<Viewport> requested);

    void start();
    void startExternal(std::function<void(Json)> send, std::string sessionID, std::string platform);
    void receiveExternal(Json message);
    void sendControl(Json message);
    void sendViewport();
    void stop();

    // Engine entry points (engine threads; they hop onto the queue).
    void peerConnectionDidGenerateCandidate(RTCPeerConnection& peer,
                                            const RTCIceCandidate& candidate) override;
    void peerConnectionDidChangeIceConnectionState(RTCPeerConnection& peer,
                                                   RTCIceConnectionState state) override;
    void peerConnectionDidChangeConnectionState(RTCPeerConnection& peer,
                                                RTCPeerConnectionState state) override;
    void peerConnectionDidFailGathering(RTCPeerConnection& peer, const RTCIceGatheringError& error) override;
    void peerConnectionDidAddVideoTrack(RTCPeerConnection& peer) override;
    void dataChannelDidChangeState(RTCDataChannel& channel) override;
    void renderFrame(const RTCVideoFrame& frame) override;

private:
    CloudRTCClient(CloudAccess access, std::string target, std::optional<Guest> guest,
                   std::optional<std::string> lane, Options options);

    // Everything below runs on the queue.
    void startOnQueue();
    void connectSignal();
    void handleSignalText(const std::string& text);
    void handleSignal(const Json& message);
    void handleAnswer(const std::string& sdp);
    void handleRemoteCandidate(const Json& message);
    void requestSession();
    void sessionReplied(Result<std::pair<unsigned, std::string>> reply);
    void setupPeer(const std::vector<RTCIceServer>& iceServers);
    void openTransferChannel();
    void createOffer();
    void sendSignal(const Json& message);
    void sendControlOnQueue(const Json& message);
    void frameArrived(int width, int height);
    void iceStateChanged(RTCIceConnectionState state);
    void connectionStateChanged(RTCPeerConnectionState state);
    void checkRoute();
    void setMediaRoute(std::optional<RTCMediaRoute> newRoute);
    void linkTick();
    void linkSummary(const std::string& label);
    void pathUpdated(const NetworkPath& path);
    void status(const std::string& text);
    void fail(const std::string& message, bool recoverable);
    void signalLost(const std::string& message);
    void teardown(bool sendEnd);

    void onQueue(std::function<void(CloudRTCClient&)> task);
    void onMain(std::function<void(CloudRTCClient&)> task);
    bool isCurrent(const RTCPeerConnection& candidate) const { return peer && peer.get() == &candidate; }

    CloudAccess access;
    std::string target;
    std::optional<Guest> guest;
    std::optional<std::string> lane;
    Options options;
    Dispatcher& main;

    // Queue-only state.
    std::string targetPlatform;
    std::shared_ptr<net::HttpClient> network;
    std::shared_ptr<net::WebSocketClient> socket;
    std::shared_ptr<RTCPeerConnectionFactory> factory;
    std::shared_ptr<RTCPeerConnection> peer;
    std::shared_ptr<RTCDataChannel> control;
    std::shared_ptr<RTCDataChannel> transfer;
    bool trackAttached = false;
    std::string sessionID;
    bool stopped = false;
    std::function<void(std::shared_ptr<RTCDataChannel>)> onTransferChannel;
    std::optional<Viewport> viewport;
    int inputReportsRemaining = 12;
    bool remoteSet = false;
    std::vector<IceCandidate> candidates;
    int receivedFrames = 0;
    std::pair<int, int> dimensions{0, 0};
    Timer heartbeatTimer;
    Timer routeTimer;
    std::optional<RTCMediaRoute> mediaRoute;
    bool checkingRoute = false;
    std::optional<VideoSample> videoSample;
    int statsTicks = 0;
    std::unique_ptr<NetworkPathMonitor> pathMonitor;
    std::string lastPathText;
    Timer linkTimer;
    int linkTicks = 0;
    std::optional<LinkDiagnostics::Sample> linkSample;
    std::optional<Clock::time_point> iceStart;
    Clock::time_point attemptStart;
    Timer timeout;
    std::string generation;
    std::function<void(Json)> externalSend;

    // Decoding-thread side: once torn down, a frame in flight is dropped instead of stored.
    std::mutex frameGate;
    bool framesClosed = false;

    // Last, so it is destroyed first: its thread stops before the state its tasks touch.
    SerialQueue queue{"quorlinth.webrtc"};
};

// "type protocol" of a candidate line, with " mdns" for a .local address.
std::string candidateSummary(const std::string& candidateLine);
// The answer's video lines for the log: m=video, a=rtpmap and direction lines joined by ";".
std::string negotiatedMedia(const std::string& sdp);
// The text shown after "无法连接：" for a service error code; unknown codes unchanged.
std::string sessionErrorText(const std::string& code);
// What the user reads when the other end ends the session with `reason`.
std::string endReasonText(const std::string& reason);

} // namespace quorlinth
