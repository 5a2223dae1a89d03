#pragma once

#include "rtc/RTCSdp.h"
#include "rtc/RTCTypes.h"

#include <optional>
#include <string>

namespace quorlinth {

// What the engine's own decoder knows about the received video.
struct RTCDecoderCounters {
    uint64_t framesDecoded = 0;
    int frameWidth = 0;
    int frameHeight = 0;
    std::optional<double> framesPerSecond;
    uint64_t framesDropped = 0;
    uint64_t freezeCount = 0;
};

// What the engine's own encoder knows about the sent video.
struct RTCEncoderCounters {
    uint64_t framesEncoded = 0;
    int frameWidth = 0;
    int frameHeight = 0;
    std::optional<double> framesPerSecond;
    int64_t targetBitrate = 0;
    bool limitedByBandwidth = false; // the rate controller holds the target below the encoding's
};

struct RTCStatisticsInputs {
    // The engine's report: id → {"type": type name, dash-named fields...}.
    Json engineReport = Json::object();
    std::optional<RTCDecoderCounters> decoder;
    std::optional<RTCEncoderCounters> encoder;
    bool iceConnected = false;
    // The negotiated video codec, for codec entries the engine leaves bare.
    std::optional<RTCSdpVideoCodec> videoCodec;
};

// "packets-received" → "packetsReceived".
std::string w3cMemberName(const std::string& dashName);

// Builds the W3C-named report: renames fields, types candidates by the pairs that reference
// them (the engine's own candidate types can be swapped), folds the retransmission streams into
// the video stream they repair, completes the selected pair, and adds the decoder's and
// encoder's figures to the inbound and outbound video entries.
RTCStatisticsReport buildStatisticsReport(const RTCStatisticsInputs& inputs);

} // namespace quorlinth
