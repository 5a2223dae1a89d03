#pragma once

#include "rtc/RTCFactory.h"

#include <memory>

namespace quorlinth {

// The codec info with its H.264 level raised to 5.1 ("profile-level-id" ending in "33"), so
// that large screens are allowed; unchanged without a six-character profile-level-id.
RTCVideoCodecInfo raisingLevel(const RTCVideoCodecInfo& info);

// The sharing side's encoders: the engine's H.264 list at level 5.1; an encoder only for
// the exact name "H264".
class MacScreenEncoderFactory : public RTCVideoEncoderFactory {
public:
    std::vector<RTCVideoCodecInfo> supportedCodecs() const override;
    bool canCreateEncoder(const RTCVideoCodecInfo& info) const override;

private:
    RTCDefaultVideoEncoderFactory engine;
};

// The controlling side's decoders: the engine's H.264 decoders (name compared ignoring case)
// at level 5.1.
class AVCDecoderFactory : public RTCVideoDecoderFactory {
public:
    std::vector<RTCVideoCodecInfo> supportedCodecs() const override;
    bool canCreateDecoder(const RTCVideoCodecInfo& info) const override;

private:
    RTCDefaultVideoDecoderFactory factory;
};

} // namespace quorlinth
