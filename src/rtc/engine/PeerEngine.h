#pragma once

// Engine internals shared by the peer connection, its data channels and its sender.

#include "base/FramePacer.h"
#include "base/Scheduler.h"
#include "base/SerialQueue.h"
#include "rtc/RTCConsentWatch.h"
#include "rtc/RTCDataChannel.h"
#include "rtc/RTCFactory.h"
#include "rtc/RTCKeyFrameRecovery.h"
#include "rtc/RTCPeerConnection.h"
#include "rtc/RTCRateController.h"
#include "rtc/RTCRateFeedbackReader.h"
#include "rtc/RTCRtpSender.h"
#include "rtc/RTCSdp.h"
#include "rtc/RTCSendAccounting.h"
#include "rtc/RTCStatisticsMapping.h"
#include "rtc/RTCTextReassembly.h"
#include "rtc/engine/GstHandles.h"

#define GST_USE_UNSTABLE_API
#include <atomic>
#include <deque>
#include <gst/webrtc/webrtc.h>
#include <mutex>

namespace quorlinth {

using engine::GstRef;

// Counts frames and keeps the rate over the last second.
class FrameRateMeter {
public:
    void note(int64_t nowNs);
    std::optional<double> rate(int64_t nowNs);

private:
    std::mutex mutex;
    std::deque<int64_t> recent;
};

int64_t monotonicNs();

struct RTCDataChannel::Impl : std::enable_shared_from_this<RTCDataChannel::Impl> {
    static std::shared_ptr<RTCDataChannel> wrap(GstWebRTCDataChannel* adopted, bool locallyOpened,
                                                std::shared_ptr<Scheduler> events,
                                                std::function<uint64_t(int)> bytesSent,
                                                std::function<void()> startPump);
    ~Impl();

    // On the events thread: reports a falling buffered amount; true while bytes remain.
    bool poll();
    void shutdown();
    void post(std::function<void(RTCDataChannelDelegate&, RTCDataChannel&)> event);

    GstWebRTCDataChannel* channel = nullptr;
    std::string label;
    std::shared_ptr<Scheduler> events;
    std::function<uint64_t(int)> bytesSent;
    std::function<void()> startPump;
    std::weak_ptr<RTCDataChannel> owner;
    std::vector<gulong> handlers;
    std::atomic<bool> closed{false};

    mutable std::mutex mutex;
    RTCSendAccounting accounting;
    uint64_t reported = 0;
    uint64_t lowThreshold = 0;
    std::weak_ptr<RTCDataChannelDelegate> delegate;
    RTCTextReassembly textPieces{RTCDataChannel::kMaxMessageSize}; // on the events thread only

    Impl(bool locallyOpened, std::string label) : label(label), accounting(locallyOpened, label) {}
};

struct RTCRtpSender::Impl : RTCFrameConsumer, std::enable_shared_from_this<RTCRtpSender::Impl> {
    // Builds appsrc → x264 → RTP payloader → webrtcbin, matching the offered payload.
    Result<void> build(GstBin* pipeline, GstElement* webrtc, const RTCSdpVideoCodec& codec,
                       std::optional<int> transportCcId);
    void shutdown(GstElement* webrtc);

    bool wantsFrame(int64_t timestampNs) override;
    void consumeFrame(RTCI420Frame frame) override;

    RTCRtpParameters parameters() const;
    Result<void> setParameters(const RTCRtpParameters& parameters);
    RTCEncoderCounters counters();
    // Either kind of feedback, for the rate controller (engine queue); the encoder hears of a
    // target that changed.
    template <class Feedback> void adapt(const Feedback& feedback) {
        std::lock_guard lock(mutex);
        if (stopped) return;
        int64_t before = bitrateBps();
        rate.update(feedback);
        if (bitrateBps() != before) applyBitrate();
    }
    bool admitKeyFrameRequest();

    std::shared_ptr<RTCVideoSource> source;
    mutable std::mutex mutex;
    RTCRtpParameters current{{RTCRtpEncodingParameters{}}, RTCDegradationPreference::balanced};
    GstElement* appsrc = nullptr;
    GstElement* encoder = nullptr;
    GstPad* webrtcPad = nullptr;
    // Frames the encoder takes, at the encoding's rate or the rate controller's lower one; the
    // source paced them already, so only a faster source is held back.
    FramePacer pacer{FramePacer::Slack::halfPeriod};
    int capsWidth = 0, capsHeight = 0, capsRate = 0;
    RTCRateController rate{{0, 2'500'000, 30}};
    bool parametersGiven = false;
    int64_t lastKeyFrameRequestNs = 0;
    bool keyFrameOwed = false;
    std::atomic<uint64_t> framesEncoded{0};
    FrameRateMeter encodedRate;
    std::atomic<bool> stopped{false};

    // Frames on their way through the encoder while a media trace is kept.
    struct TracedFrame {
        GstClockTime pts;
        int64_t capturedNs, encoderInNs, encodedNs;
    };
    std::mutex traceMutex;
    std::deque<TracedFrame> tracedFrames;

private:
    void noteEncoded(GstBuffer* buffer, int64_t encodedNs);
    void tracePayloaded(GstElement* payloader);
    RTCRateController::Limits limits() const;
    int64_t bitrateBps() const;
    int framerate() const;
    void applyBitrate();
};

struct RTCPeerConnection::Impl : std::enable_shared_from_this<RTCPeerConnection::Impl> {
    Impl(RTCConfiguration configuration, std::vector<std::string> gatherAddresses,
         std::shared_ptr<RTCVideoEncoderFactory> encoders);
    ~Impl();

    Result<void> start();
    void close();

    // Engine-thread helpers.
    void postEvent(std::function<void(RTCPeerConnectionDelegate&, RTCPeerConnection&)> event);
    void onIceCandidate(guint mlineIndex, const char* candidate);
    void onIceConnectionStateChanged();
    void onConnectionStateChanged();
    void onGatheringStateChanged();
    void enlargeSocketBuffers();
    void adaptRate();
    void onTransportFeedback(GstElement* session);
    void onDataChannel(GstWebRTCDataChannel* channel);
    void onPadAdded(GstPad* pad);
    void onDecodedSample(GstSample* sample);
    void checkConsent();
    void installConsentProbes();
    void traceSentPackets();
    void watchArrivals(GstPad* depaySink);
    void watchFrozenPicture();
    void recoverFrozenPicture();
    void traceDepayloaded(GstPad* depaySink);
    void traceDecoded(GstClockTime pts, int64_t decodedNs);
    uint64_t sctpBytesSent(int streamId);
    void pumpBufferedAmounts();
    void startPump();
    void rememberMids(const std::string& sdp);
    Result<void> prepareSenderFor(const std::string& offerSdp);
    std::optional<RTCDecoderCounters> decoderCounters();

    RTCConfiguration configuration;
    std::vector<std::string> gatherAddresses;
    std::shared_ptr<RTCVideoEncoderFactory> encoders;
    std::unique_ptr<SerialQueue> queue;
    RTCPeerConnection* owner = nullptr;
    std::atomic<bool> closed{false};

    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    std::vector<gulong> handlers;
    std::shared_ptr<RTCConsentWatch> consent;
    std::atomic<bool> silenceReported{false};
    // The queue sets and cancels the timers; close() cancels them from the caller's thread.
    std::mutex timerMutex;
    Timer consentTimer;
    Timer rateTimer;
    Timer keyFrameTimer;
    Timer pumpTimer;
    RTCRateFeedbackReader rateFeedback; // engine queue only

    mutable std::mutex mutex;
    std::weak_ptr<RTCPeerConnectionDelegate> delegate;
    std::weak_ptr<RTCVideoRenderer> renderer;
    std::vector<std::string> mids;
    std::vector<std::weak_ptr<RTCDataChannel::Impl>> channels;
    std::shared_ptr<RTCRtpSender::Impl> sender;
    std::vector<std::shared_ptr<RTCRtpSender>> senderHandles;
    GstRef<GstPad> depayloaderInput;
    RTCKeyFrameRecovery keyFrameRecovery;
    std::vector<GstRef<GstElement>> probedSources;
    std::vector<GstRef<GstElement>> probedSinks;
    std::mutex traceMutex;
    std::deque<std::pair<GstClockTime, uint32_t>> depayloadedFrames; // pts, RTP timestamp
    GstRef<GstElement> sctpEncoder;
    RTCIceConnectionState iceState = RTCIceConnectionState::newState;
    RTCPeerConnectionState peerState = RTCPeerConnectionState::newState;
    bool receiving = false;
    std::optional<RTCSdpVideoCodec> videoCodec;

    // Decoder figures, written on the decoding thread.
    std::atomic<uint64_t> framesDecoded{0};
    std::atomic<int> decodedWidth{0}, decodedHeight{0};
    std::atomic<uint64_t> framesDropped{0};
    std::atomic<uint64_t> freezeCount{0};
    FrameRateMeter decodedRate;
    int64_t lastDecodedNs = 0;
    double averageIntervalMs = 0;
};

} // namespace quorlinth
