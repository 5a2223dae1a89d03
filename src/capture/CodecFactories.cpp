#include "capture/CodecFactories.h"

#include <strings.h>

namespace quorlinth {

namespace {

bool isH264IgnoringCase(const RTCVideoCodecInfo& info) {
    return strcasecmp(info.name.c_str(), "H264") == 0;
}

} // namespace

RTCVideoCodecInfo raisingLevel(const RTCVideoCodecInfo& info) {
    auto it = info.parameters.find("profile-level-id");
    if (it == info.parameters.end() || it->second.size() != 6) return info;
    RTCVideoCodecInfo raised = info;
    raised.parameters["profile-level-id"] = it->second.substr(0, 4) + "33";
    return raised;
}

std::vector<RTCVideoCodecInfo> MacScreenEncoderFactory::supportedCodecs() const {
    std::vector<RTCVideoCodecInfo> codecs;
    for (const auto& info : engine.supportedCodecs())
        codecs.push_back(raisingLevel(info));
    return codecs;
}

bool MacScreenEncoderFactory::canCreateEncoder(const RTCVideoCodecInfo& info) const {
    return info.name == "H264" && engine.canCreateEncoder(info);
}

std::vector<RTCVideoCodecInfo> AVCDecoderFactory::supportedCodecs() const {
    std::vector<RTCVideoCodecInfo> codecs;
    for (const auto& info : factory.supportedCodecs())
        if (isH264IgnoringCase(info)) codecs.push_back(raisingLevel(info));
    return codecs;
}

bool AVCDecoderFactory::canCreateDecoder(const RTCVideoCodecInfo& info) const {
    return isH264IgnoringCase(info) && factory.canCreateDecoder(info);
}

} // namespace quorlinth
