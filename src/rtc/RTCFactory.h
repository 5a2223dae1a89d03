#pragma once

#include "base/Result.h"
#include "rtc/RTCPeerConnection.h"
#include "rtc/RTCTypes.h"
#include "rtc/RTCVideoSource.h"

#include <memory>
#include <vector>

namespace quorlinth {

// The codecs a sender may encode. The engine's encoder is H.264 (x264); a factory decides which
// codec infos are advertised and whether an encoder exists for one.
class RTCVideoEncoderFactory {
public:
    virtual ~RTCVideoEncoderFactory() = default;
    virtual std::vector<RTCVideoCodecInfo> supportedCodecs() const = 0;
    virtual bool canCreateEncoder(const RTCVideoCodecInfo& info) const = 0;
};

// The codecs a receiver may decode with the engine's H.264 decoder (libavcodec).
class RTCVideoDecoderFactory {
public:
    virtual ~RTCVideoDecoderFactory() = default;
    virtual std::vector<RTCVideoCodecInfo> supportedCodecs() const = 0;
    virtual bool canCreateDecoder(const RTCVideoCodecInfo& info) const = 0;
};

// The engine's own lists: H.264 constrained baseline (encoder); constrained high and constrained
// baseline (decoder), packetization mode 1, level 3.1.
class RTCDefaultVideoEncoderFactory : public RTCVideoEncoderFactory {
public:
    std::vector<RTCVideoCodecInfo> supportedCodecs() const override;
    bool canCreateEncoder(const RTCVideoCodecInfo& info) const override;
};
class RTCDefaultVideoDecoderFactory : public RTCVideoDecoderFactory {
public:
    std::vector<RTCVideoCodecInfo> supportedCodecs() const override;
    bool canCreateDecoder(const RTCVideoCodecInfo& info) const override;
};

struct RTCPeerConnectionFactoryOptions {
    bool ignoreVpnAdapters = false;
    bool ignoreLoopbackAdapters = false;
};

// Creates peer connections and video sources. Thread-safe.
class RTCPeerConnectionFactory {
public:
    RTCPeerConnectionFactory(RTCPeerConnectionFactoryOptions options,
                             std::shared_ptr<RTCVideoEncoderFactory> encoders,
                             std::shared_ptr<RTCVideoDecoderFactory> decoders);

    // Initializes the media framework once per process; false when a needed element is missing.
    static Result<void> initialize();

    Result<std::shared_ptr<RTCPeerConnection>>
    peerConnection(const RTCConfiguration& configuration, std::weak_ptr<RTCPeerConnectionDelegate> delegate);
    std::shared_ptr<RTCVideoSource> videoSource() const;

    // The codecs a receive-only video transceiver can prefer: the decoder factory's list.
    std::vector<RTCVideoCodecInfo> videoReceiverCapabilities() const;
    const RTCVideoEncoderFactory& encoderFactory() const { return *encoders; }

private:
    RTCPeerConnectionFactoryOptions options;
    std::shared_ptr<RTCVideoEncoderFactory> encoders;
    std::shared_ptr<RTCVideoDecoderFactory> decoders;
};

} // namespace quorlinth
