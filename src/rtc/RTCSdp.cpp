#include "rtc/RTCSdp.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>
#include <sstream>

namespace quorlinth {

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::optional<int> parseInt(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The SDP's lines as written (a "\r" ending stays on its line).
std::vector<std::string> linesOf(const std::string& sdp) {
    std::vector<std::string> lines;
    std::istringstream stream(sdp);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// The lines of the first m=video section.
std::vector<std::string> firstVideoSection(const std::string& sdp) {
    std::vector<std::string> lines;
    std::istringstream stream(sdp);
    std::string line;
    bool inside = false;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("m=", 0) == 0) {
            if (inside) break;
            inside = line.rfind("m=video", 0) == 0;
        }
        if (inside) lines.push_back(line);
    }
    return lines;
}

// "a=<attribute>:<pt> <rest>" → pt and rest.
std::optional<std::pair<int, std::string>> payloadAttribute(const std::string& line,
                                                            const std::string& attribute) {
    std::string prefix = "a=" + attribute + ":";
    if (line.rfind(prefix, 0) != 0) return std::nullopt;
    auto space = line.find(' ', prefix.size());
    if (space == std::string::npos) return std::nullopt;
    auto type = parseInt(std::string_view(line).substr(prefix.size(), space - prefix.size()));
    if (!type) return std::nullopt;
    return std::make_pair(*type, line.substr(space + 1));
}

std::map<std::string, std::string> fmtpParameters(const std::string& text) {
    std::map<std::string, std::string> parameters;
    std::istringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ';')) {
        auto begin = item.find_first_not_of(' ');
        if (begin == std::string::npos) continue;
        item = item.substr(begin);
        auto equals = item.find('=');
        if (equals == std::string::npos) continue;
        parameters[item.substr(0, equals)] = item.substr(equals + 1);
    }
    return parameters;
}

// Lower is better: how well a constrained baseline stream fits the offered profile.
int profileRank(const std::string& profileLevelId) {
    static const std::array<std::string, 6> order = {"42e0", "4200", "4d00", "640c", "6400", "f400"};
    std::string profile = lowercase(profileLevelId.substr(0, 4));
    for (size_t index = 0; index < order.size(); ++index)
        if (order[index] == profile) return static_cast<int>(index);
    return -1;
}

} // namespace

std::vector<RTCSdpVideoCodec> offeredVideoCodecs(const std::string& sdp) {
    auto section = firstVideoSection(sdp);
    if (section.empty()) return {};
    std::vector<RTCSdpVideoCodec> codecs;
    std::istringstream mline(section.front());
    std::string token;
    for (int field = 0; mline >> token; ++field) {
        if (field < 3) continue; // m=video <port> <proto>
        if (auto type = parseInt(token)) codecs.push_back({*type, {}, {}});
    }
    for (const auto& line : section) {
        if (auto rtpmap = payloadAttribute(line, "rtpmap")) {
            for (auto& codec : codecs)
                if (codec.payloadType == rtpmap->first)
                    codec.info.name = rtpmap->second.substr(0, rtpmap->second.find('/'));
        } else if (auto fmtp = payloadAttribute(line, "fmtp")) {
            for (auto& codec : codecs)
                if (codec.payloadType == fmtp->first) {
                    codec.info.parameters = fmtpParameters(fmtp->second);
                    codec.fmtpLine = fmtp->second;
                }
        }
    }
    std::erase_if(codecs, [](const RTCSdpVideoCodec& codec) { return codec.info.name.empty(); });
    return codecs;
}

std::optional<int> transportCcExtensionId(const std::string& sdp) {
    for (const auto& line : firstVideoSection(sdp)) {
        if (line.rfind("a=extmap:", 0) != 0 || line.find(kTransportCcUri) == std::string::npos) continue;
        auto idText = line.substr(9, line.find_first_of(" /", 9) - 9);
        return parseInt(idText);
    }
    return std::nullopt;
}

std::optional<RTCSdpVideoCodec>
chooseH264ForSending(const std::vector<RTCSdpVideoCodec>& offered,
                     const std::function<bool(const RTCVideoCodecInfo&)>& canEncode) {
    std::optional<RTCSdpVideoCodec> best;
    int bestRank = 0;
    for (const auto& codec : offered) {
        if (lowercase(codec.info.name) != "h264") continue;
        auto mode = codec.info.parameters.find("packetization-mode");
        if (mode == codec.info.parameters.end() || mode->second != "1") continue;
        auto profile = codec.info.parameters.find("profile-level-id");
        int rank = profile == codec.info.parameters.end() || profile->second.size() != 6
                       ? -1
                       : profileRank(profile->second);
        if (rank < 0 || !canEncode(codec.info)) continue;
        if (!best || rank < bestRank) {
            best = codec;
            bestRank = rank;
        }
    }
    return best;
}

std::string withRetransmissionForEveryPayload(const std::string& sdp) {
    std::vector<std::string> lines = linesOf(sdp);
    bool crlf = !lines.empty() && !lines.front().empty() && lines.front().back() == '\r';
    auto bare = [](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    };
    size_t mline = 0;
    while (mline < lines.size() && bare(lines[mline]).rfind("m=video", 0) != 0)
        ++mline;
    if (mline == lines.size()) return sdp;
    size_t end = mline + 1;
    while (end < lines.size() && lines[end].rfind("m=", 0) != 0)
        ++end;

    std::vector<int> used, wanting;
    std::set<int> covered;
    std::istringstream payloads(bare(lines[mline]));
    std::string token;
    for (int field = 0; payloads >> token; ++field)
        if (auto type = field >= 3 ? parseInt(token) : std::nullopt) used.push_back(*type);
    for (size_t index = mline + 1; index < end; ++index) {
        std::string line = bare(lines[index]);
        if (auto feedback = payloadAttribute(line, "rtcp-fb"); feedback && feedback->second == "nack")
            wanting.push_back(feedback->first);
        if (auto fmtp = payloadAttribute(line, "fmtp"); fmtp && fmtp->second.rfind("apt=", 0) == 0)
            if (auto apt = parseInt(fmtp->second.substr(4))) covered.insert(*apt);
    }
    std::string added;
    std::string ending = crlf ? "\r\n" : "\n";
    int next = 96;
    for (int payload : wanting) {
        if (covered.count(payload)) continue;
        while (next <= 127 && std::find(used.begin(), used.end(), next) != used.end())
            ++next;
        if (next > 127) break;
        used.push_back(next);
        std::string rtx = std::to_string(next);
        lines[mline] = bare(lines[mline]) + " " + rtx + (crlf ? "\r" : "");
        added += "a=rtpmap:" + rtx + " rtx/90000" + ending + "a=fmtp:" + rtx +
                 " apt=" + std::to_string(payload) + ending;
    }
    std::string result;
    for (size_t index = 0; index < lines.size(); ++index) {
        if (index == end) result += added;
        result += lines[index] + "\n";
    }
    if (end == lines.size()) result += added;
    if (!sdp.empty() && sdp.back() != '\n') result.pop_back();
    return result;
}

std::string withMaxMessageSize(const std::string& sdp, size_t bytes) {
    std::string attribute = "a=max-message-size:" + std::to_string(bytes);
    std::vector<std::string> lines = linesOf(sdp);
    std::string result;
    for (size_t index = 0; index < lines.size(); ++index) {
        result += lines[index] + "\n";
        if (lines[index].rfind("m=application", 0) != 0) continue;
        bool named = false;
        for (size_t next = index + 1; next < lines.size() && lines[next].rfind("m=", 0) != 0; ++next)
            named = named || lines[next].rfind("a=max-message-size:", 0) == 0;
        bool crlf = !lines[index].empty() && lines[index].back() == '\r';
        if (!named) result += attribute + (crlf ? "\r\n" : "\n");
    }
    if (!sdp.empty() && sdp.back() != '\n') result.pop_back();
    return result;
}

} // namespace quorlinth
