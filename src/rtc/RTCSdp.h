#pragma once

#include "rtc/RTCTypes.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// One video payload of an SDP: its payload type and codec (fmtp parameters included).
struct RTCSdpVideoCodec {
    int payloadType = 0;
    RTCVideoCodecInfo info;
    std::string fmtpLine; // the a=fmtp value as written
};

// The payloads of the first video m-line, in the m-line's order.
std::vector<RTCSdpVideoCodec> offeredVideoCodecs(const std::string& sdp);

// The transport-wide congestion control header extension: per-packet sequence numbers that the
// receiver's feedback reports arrival times for.
inline constexpr const char* kTransportCcUri =
    "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";
// The id a receiver of ours offers it under.
inline constexpr int kOfferedTransportCcId = 3;

// The id of the transport-wide congestion control header extension of the first video m-line.
std::optional<int> transportCcExtensionId(const std::string& sdp);

// The offered H.264 payload to send with: packetization mode 1, the profile a constrained
// baseline stream satisfies most closely, accepted by `canEncode`. None when nothing fits.
std::optional<RTCSdpVideoCodec>
chooseH264ForSending(const std::vector<RTCSdpVideoCodec>& offered,
                     const std::function<bool(const RTCVideoCodecInfo&)>& canEncode);

// The SDP with a retransmission payload ("rtx", apt=<pt>) for every payload of the first video
// section that asks for NACK and has none. This engine offers one for the first payload only,
// and the sender may pick another.
std::string withRetransmissionForEveryPayload(const std::string& sdp);

// The SDP with "a=max-message-size:<bytes>" in every data-channel section that names none. A
// section without it limits the peer to 65,536-byte messages.
std::string withMaxMessageSize(const std::string& sdp, size_t bytes);

} // namespace quorlinth
