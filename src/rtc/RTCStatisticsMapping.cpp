#include "rtc/RTCStatisticsMapping.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <vector>

namespace quorlinth {

namespace {

constexpr const char* kDecoderImplementation = "libavcodec";
constexpr const char* kEncoderImplementation = "x264";

std::string stringField(const Json& values, const char* name) {
    auto found = values.find(name);
    return found != values.end() && found->is_string() ? found->get<std::string>() : std::string();
}

void typeCandidates(RTCStatisticsReport& report) {
    std::set<std::string> local, remote;
    for (const auto& [id, entry] : report) {
        if (entry.type != "candidate-pair") continue;
        local.insert(stringField(entry.values, "localCandidateId"));
        remote.insert(stringField(entry.values, "remoteCandidateId"));
    }
    for (auto& [id, entry] : report) {
        if (entry.type != "local-candidate" && entry.type != "remote-candidate") continue;
        if (local.count(id))
            entry.type = "local-candidate";
        else if (remote.count(id))
            entry.type = "remote-candidate";
        else if (id.rfind("ice-candidate-local", 0) == 0)
            entry.type = "local-candidate";
        else if (id.rfind("ice-candidate-remote", 0) == 0)
            entry.type = "remote-candidate";
    }
}

std::optional<double> mediaRoundTripTime(const RTCStatisticsReport& report) {
    for (const auto& [id, entry] : report) {
        if (entry.type != "remote-inbound-rtp") continue;
        auto rtt = entry.values.find("roundTripTime");
        if (rtt != entry.values.end() && rtt->is_number() && rtt->get<double>() > 0)
            return rtt->get<double>();
    }
    return std::nullopt;
}

void completeSelectedPair(RTCStatisticsReport& report, bool iceConnected) {
    auto rtt = mediaRoundTripTime(report);
    for (const auto& [id, entry] : report) {
        if (entry.type != "transport") continue;
        auto pair = report.find(stringField(entry.values, "selectedCandidatePairId"));
        if (pair == report.end() || pair->second.type != "candidate-pair") continue;
        auto& values = pair->second.values;
        if (iceConnected) {
            values["state"] = "succeeded";
            values["nominated"] = true;
        }
        // The media round trip (RTCP) crosses the same selected path.
        if (rtt && !values.contains("currentRoundTripTime")) values["currentRoundTripTime"] = *rtt;
    }
}

double numberField(const Json& values, const char* name) {
    auto found = values.find(name);
    return found != values.end() && found->is_number() ? found->get<double>() : 0;
}

// The names an RTP stream entry counts its traffic under.
struct StreamCounters {
    const char* type;
    const char *bytes, *packets, *retransmittedBytes, *retransmittedPackets;
};

// The engine reports a stream's retransmissions as an RTP stream of its own; in the W3C model
// they are part of the picture's stream (the only video stream either end has), which is the
// one that carried the most packets. The others are folded into it and references to them
// point to it.
void foldRetransmissions(RTCStatisticsReport& report, const StreamCounters& counters) {
    std::vector<std::string> streams;
    for (const auto& [id, entry] : report)
        if (entry.type == counters.type) streams.push_back(id);
    if (streams.size() < 2) return;
    auto packets = [&](const std::string& id) { return numberField(report[id].values, counters.packets); };
    std::string picture = *std::max_element(streams.begin(), streams.end(),
                                            [&](auto& a, auto& b) { return packets(a) < packets(b); });
    Json& kept = report[picture].values;
    double bytes = 0, sent = 0;
    for (const auto& id : streams) {
        if (id == picture) continue;
        bytes += numberField(report[id].values, counters.bytes);
        sent += packets(id);
        report.erase(id);
        for (auto& [other, entry] : report)
            for (const char* reference : {"localId", "remoteId"})
                if (stringField(entry.values, reference) == id) entry.values[reference] = picture;
    }
    kept[counters.bytes] = numberField(kept, counters.bytes) + bytes;
    kept[counters.packets] = numberField(kept, counters.packets) + sent;
    kept[counters.retransmittedBytes] = bytes;
    kept[counters.retransmittedPackets] = sent;
}

void addDecoderFigures(Json& values, const RTCDecoderCounters& decoder) {
    values["framesDecoded"] = decoder.framesDecoded;
    if (decoder.frameWidth > 0) {
        values["frameWidth"] = decoder.frameWidth;
        values["frameHeight"] = decoder.frameHeight;
    }
    if (decoder.framesPerSecond) values["framesPerSecond"] = *decoder.framesPerSecond;
    values["framesDropped"] = decoder.framesDropped;
    values["freezeCount"] = decoder.freezeCount;
    values["decoderImplementation"] = kDecoderImplementation;
}

void addEncoderFigures(Json& values, const RTCEncoderCounters& encoder) {
    values["framesEncoded"] = encoder.framesEncoded;
    if (encoder.frameWidth > 0) {
        values["frameWidth"] = encoder.frameWidth;
        values["frameHeight"] = encoder.frameHeight;
    }
    if (encoder.framesPerSecond) values["framesPerSecond"] = *encoder.framesPerSecond;
    if (encoder.targetBitrate > 0) values["targetBitrate"] = encoder.targetBitrate;
    // The resolution is never lowered; the bitrate and frame rate only for the link.
    values["qualityLimitationReason"] = encoder.limitedByBandwidth ? "bandwidth" : "none";
    values["encoderImplementation"] = kEncoderImplementation;
}

void completeCodec(Json& values, const RTCSdpVideoCodec& codec) {
    if (!values.contains("mimeType")) values["mimeType"] = "video/" + codec.info.name;
    if (!values.contains("payloadType")) values["payloadType"] = codec.payloadType;
    if (!values.contains("clockRate")) values["clockRate"] = 90000;
    if (!values.contains("sdpFmtpLine") && !codec.fmtpLine.empty()) values["sdpFmtpLine"] = codec.fmtpLine;
}

} // namespace

std::string w3cMemberName(const std::string& dashName) {
    std::string name;
    bool upper = false;
    for (char c : dashName) {
        if (c == '-' || c == '_') {
            upper = !name.empty();
            continue;
        }
        name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        upper = false;
    }
    return name;
}

RTCStatisticsReport buildStatisticsReport(const RTCStatisticsInputs& inputs) {
    RTCStatisticsReport report;
    if (!inputs.engineReport.is_object()) return report;
    for (const auto& [id, raw] : inputs.engineReport.items()) {
        if (!raw.is_object()) continue;
        RTCStatistics entry;
        entry.id = id;
        for (const auto& [name, value] : raw.items()) {
            if (name == "type")
                entry.type = value.is_string() ? value.get<std::string>() : "";
            else if (name != "id" && name != "timestamp")
                entry.values[w3cMemberName(name)] = value;
        }
        if (raw.contains("timestamp")) entry.values["timestamp"] = raw["timestamp"];
        if (entry.type.empty()) continue;
        if ((entry.type == "inbound-rtp" || entry.type == "outbound-rtp") && !entry.values.contains("kind"))
            entry.values["kind"] = "video"; // the only media the engine carries
        report.emplace(id, std::move(entry));
    }
    typeCandidates(report);
    foldRetransmissions(report, {"outbound-rtp", "bytesSent", "packetsSent", "retransmittedBytesSent",
                                 "retransmittedPacketsSent"});
    foldRetransmissions(report, {"inbound-rtp", "bytesReceived", "packetsReceived",
                                 "retransmittedBytesReceived", "retransmittedPacketsReceived"});
    completeSelectedPair(report, inputs.iceConnected);
    for (auto& [id, entry] : report) {
        if (entry.type == "inbound-rtp" && inputs.decoder) addDecoderFigures(entry.values, *inputs.decoder);
        if (entry.type == "outbound-rtp" && inputs.encoder) addEncoderFigures(entry.values, *inputs.encoder);
        if (entry.type == "codec" && inputs.videoCodec) completeCodec(entry.values, *inputs.videoCodec);
    }
    return report;
}

} // namespace quorlinth
