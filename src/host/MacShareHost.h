#pragma once

#include "account/MacCredentials.h"
#include "base/FramePacer.h"
#include "base/Json.h"
#include "base/LockedBox.h"
#include "base/MainQueue.h"
#include "base/SerialQueue.h"
#include "capture/StreamProfile.h"
#include "platform/PixelBuffer.h"
#include "rtc/RTCFactory.h"
#include "signaling/SignalMessages.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

namespace net {
class HttpClient;
class WebSocketClient;
struct WebSocketFailure;
} // namespace net

// The sharing side of a remote session: keeps the signaling socket open, reports presence
// with a heartbeat, passes connection requests to the model, answers the controller's offer
// with a send-only H.264 track fed from the newest captured frame, accepts the "control" and
// "transfer" channels and adapts the encoder to the route. One viewer at a time. All state
// lives on the "quorlinth.broadcast" queue; callbacks run on the main queue.
class MacShareHost : public std::enable_shared_from_this<MacShareHost>,
                     public RTCPeerConnectionDelegate,
                     public RTCDataChannelDelegate {
public:
    struct Request {
        std::string controllerID;
        std::string name;
        bool guest = false;
    };

    struct Timings {
        Millis heartbeat{20'000};
        Millis signalCheck{10'000};
        Millis signalSilence{30'000};
        Millis reconnectDelay{5'000};
        Millis pulse{33};
        Millis routeFirst{1'000};
        Millis routePeriod{2'000};
    };

    struct Options {
        MacCredentials credentials;
        MacShareQuality quality = MacShareQuality::sharp;
        // The service's base for signaling and heartbeat; the credentials' base when empty.
        std::string base;
        std::optional<std::filesystem::path> caFile;
        // ICE addresses to gather on (a test namespace's loopback); adapters' rules otherwise.
        std::vector<std::string> iceAddresses;
        RTCIceTransportPolicy iceTransportPolicy = RTCIceTransportPolicy::all;
        Timings timings;
        // Where log lines go; the file log when unset.
        std::function<void(const std::string&)> log;
        // Where callbacks run; the process's main queue when unset.
        Dispatcher* main = nullptr;
    };

    static std::shared_ptr<MacShareHost> create(Options options);
    ~MacShareHost() override;

    // Set the callbacks before start(); they run on the main queue except `inputReady`,
    // which is asked on the host queue when a heartbeat is built.
    std::function<void(Request, std::function<void(bool)> decide)> onRequest;
    std::function<void()> onConnect;
    std::function<void()> onDisconnect;
    std::function<void(std::string message)> onInput;
    std::function<bool()> inputReady;
    std::function<void(std::shared_ptr<RTCDataChannel>, std::string controllerID)> onTransferChannel;
    // The frames per second the current profile sends (the route decides it).
    std::function<void(int64_t fps)> onFrameRate;

    void start();
    // Final: ends the session, closes the socket; a stopped host ignores every later event.
    void stop();
    // The newest captured frame; only the latest is kept, replaced at once from any thread, so a
    // slow conversion never leaves frames queued behind it. It goes to the encoder on arrival, or
    // when the next frame is due at the profile's rate; the pulse only repeats a still screen.
    void cachePixels(SharedPixels pixels);

    // A session carried by the LAN link: its id, or nullopt when refused.
    std::optional<std::string> attachLocal(const std::string& controllerID, std::function<void(Json)> send);
    // A signaling message from the LAN link.
    void receiveLocal(Json message);

    InputEpoch& inputEpoch() { return epoch; }
    // The current viewer's media route, once known; any thread (the transfer link asks it).
    std::optional<RTCMediaRoute> currentRoute() const { return routeBox.get(); }

    // Engine delegate entry points (engine threads; they only hop onto the queue).
    void peerConnectionDidGenerateCandidate(RTCPeerConnection& peer,
                                            const RTCIceCandidate& candidate) override;
    void peerConnectionDidChangeConnectionState(RTCPeerConnection& peer,
                                                RTCPeerConnectionState state) override;
    void peerConnectionDidOpenDataChannel(RTCPeerConnection& peer,
                                          std::shared_ptr<RTCDataChannel> channel) override;
    void dataChannelDidReceiveMessage(RTCDataChannel& channel, const Bytes& data, bool binary) override;

private:
    explicit MacShareHost(Options options);

    // Everything below runs on the queue.
    void startOnQueue();
    void stopOnQueue();
    void connectSignal();
    void reconnectSignal();
    void checkSignal();
    void handleSignalText(const std::string& text);
    void handleSignal(const Json& message);
    void handleRequest(const Json& message, const std::string& sessionID);
    void decide(const std::string& sessionID, bool allow);
    void handleOffer(const std::string& sdp);
    void answerOffer(const std::shared_ptr<RTCPeerConnection>& issuedFor);
    void handleRemoteCandidate(const Json& message);
    void send(const Json& message);
    void sendDeviceHeartbeat();
    void feedFrame();
    void pulseFrame();
    void pushFrame(const SharedPixels& pixels, int64_t capturedNs, int64_t nowNs);
    void applyEncoding();
    void setProfile(const MacStreamProfile& next);
    void routeTick();
    void readRoute(const RTCStatisticsReport& report);
    void logEncoder(const RTCStatisticsReport& report);
    void endSession();

    void onQueue(std::function<void(MacShareHost&)> task);
    void onMain(std::function<void()> task);
    void log(const std::string& text) const;
    std::string serviceBase() const;
    bool isCurrent(const RTCPeerConnection& candidate) const { return peer && peer.get() == &candidate; }

    struct NewestPixels {
        SharedPixels pixels;
        int64_t arrivedNs = 0;       // monotonic; when the capture handed it over
        int64_t sincePreviousNs = 0; // from the picture before it, given to the encoder or not
        bool fresh = false;          // not yet given to the encoder
        bool feedPosted = false;
        bool closed = false; // once stopped, frames are dropped
    };

    struct EncoderSample {
        double time;
        double bytesSent, framesEncoded, qpSum;
    };

    Options options;
    Dispatcher& main;
    InputEpoch epoch;
    LockedBox<NewestPixels> newestPixels;
    LockedBox<std::optional<RTCMediaRoute>> routeBox; // copy of `route` for other threads

    // Queue-only state.
    bool authorized = false;
    std::vector<RTCIceServer> sessionICE;
    int viewerLevel = 0;
    std::optional<RTCMediaRoute> route;
    MacStreamProfile profile;
    Timer routeTimer;
    FramePacer freshPacer{FramePacer::Slack::halfPeriod}; // new pictures; the capture paced them
    int64_t lastPushNs = 0;                               // a new picture or a repeat
    Timer pulse;
    Timer deferredFeed;
    std::shared_ptr<net::HttpClient> network;
    std::shared_ptr<net::WebSocketClient> socket;
    Timer heartbeat;
    std::shared_ptr<RTCPeerConnectionFactory> factory;
    std::shared_ptr<RTCVideoSource> source;
    std::shared_ptr<RTCDataChannel> control;
    std::shared_ptr<RTCDataChannel> transfer;
    std::string controllerID;
    std::shared_ptr<RTCPeerConnection> peer;
    std::string session;
    bool remoteSet = false;
    std::vector<IceCandidate> pending;
    bool stopped = false;
    std::function<void(Json)> localSend;
    Clock::time_point signalAlive{};
    bool signalReady = false;
    bool mediaConnected = false; // the current session's peer connection reached "connected"
    Timer signalCheck;
    Timer reconnectTimer;
    int statsTicks = 0;
    std::optional<EncoderSample> encoderSample;

    // Last, so it is destroyed first: its thread stops before the state its tasks touch.
    SerialQueue queue{"quorlinth.broadcast"};
};

} // namespace quorlinth
