#include "rtc/RTCFactory.h"

#include "rtc/RTCNetworkAdapters.h"
#include "rtc/engine/PeerEngine.h"

#include <mutex>

namespace quorlinth {

namespace {

RTCVideoCodecInfo h264(const char* profileLevelId) {
    return {"H264",
            {{"level-asymmetry-allowed", "1"},
             {"packetization-mode", "1"},
             {"profile-level-id", profileLevelId}}};
}

bool isH264IgnoringCase(const std::string& name) {
    return g_ascii_strcasecmp(name.c_str(), "H264") == 0;
}

} // namespace

std::vector<RTCVideoCodecInfo> RTCDefaultVideoEncoderFactory::supportedCodecs() const {
    return {h264("42e01f")};
}

bool RTCDefaultVideoEncoderFactory::canCreateEncoder(const RTCVideoCodecInfo& info) const {
    return info.name == "H264";
}

std::vector<RTCVideoCodecInfo> RTCDefaultVideoDecoderFactory::supportedCodecs() const {
    return {h264("640c1f"), h264("42e01f")};
}

bool RTCDefaultVideoDecoderFactory::canCreateDecoder(const RTCVideoCodecInfo& info) const {
    return isH264IgnoringCase(info.name);
}

RTCPeerConnectionFactory::RTCPeerConnectionFactory(RTCPeerConnectionFactoryOptions options,
                                                   std::shared_ptr<RTCVideoEncoderFactory> encoders,
                                                   std::shared_ptr<RTCVideoDecoderFactory> decoders)
    : options(options),
      encoders(encoders ? std::move(encoders) : std::make_shared<RTCDefaultVideoEncoderFactory>()),
      decoders(decoders ? std::move(decoders) : std::make_shared<RTCDefaultVideoDecoderFactory>()) {}

Result<void> RTCPeerConnectionFactory::initialize() {
    static std::once_flag once;
    static std::string missing;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        for (const char* factory : {"webrtcbin", "nicesrc", "sctpenc", "appsrc", "appsink", "x264enc",
                                    "rtph264pay", "rtph264depay", "avdec_h264", "videoconvert"}) {
            GstElementFactory* found = gst_element_factory_find(factory);
            if (!found)
                missing += missing.empty() ? factory : std::string(", ") + factory;
            else
                gst_object_unref(found);
        }
    });
    if (!missing.empty()) return Error{"missing media elements: " + missing};
    return {};
}

Result<std::shared_ptr<RTCPeerConnection>>
RTCPeerConnectionFactory::peerConnection(const RTCConfiguration& configuration,
                                         std::weak_ptr<RTCPeerConnectionDelegate> delegate) {
    if (auto ready = initialize(); !ready) return Error{ready.error()};
    std::vector<std::string> addresses = configuration.localAddresses;
    if (addresses.empty() && (options.ignoreVpnAdapters || options.ignoreLoopbackAdapters))
        addresses = usableAddresses(localNetworkInterfaces(), options.ignoreVpnAdapters,
                                    options.ignoreLoopbackAdapters);
    auto impl = std::make_shared<RTCPeerConnection::Impl>(configuration, std::move(addresses), encoders);
    if (auto started = impl->start(); !started) {
        impl->close();
        return Error{started.error()};
    }
    auto peer = std::make_shared<RTCPeerConnection>(impl);
    peer->setDelegate(std::move(delegate));
    return peer;
}

std::shared_ptr<RTCVideoSource> RTCPeerConnectionFactory::videoSource() const {
    return std::make_shared<RTCVideoSource>();
}

std::vector<RTCVideoCodecInfo> RTCPeerConnectionFactory::videoReceiverCapabilities() const {
    return decoders->supportedCodecs();
}

} // namespace quorlinth
