#include "controller/LinkDiagnostics.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace quorlinth {

namespace {

std::string format(const char* pattern, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

std::string kindName(NetworkPath::InterfaceKind kind) {
    switch (kind) {
    case NetworkPath::InterfaceKind::wifi:
        return "Wi-Fi";
    case NetworkPath::InterfaceKind::wired:
        return "有线";
    case NetworkPath::InterfaceKind::cellular:
        return "蜂窝";
    case NetworkPath::InterfaceKind::loopback:
        return "回环";
    case NetworkPath::InterfaceKind::other:
        return "其他/VPN";
    }
    return "?";
}

std::string integerText(double value) {
    return std::to_string(static_cast<long long>(value));
}

std::string typeOf(const Json& entry) {
    return field::string(entry, "type", "");
}

const Json* entryNamed(const StatsMap& stats, const std::optional<std::string>& id) {
    if (!id) return nullptr;
    auto it = stats.find(*id);
    return it == stats.end() ? nullptr : &it->second;
}

const Json* firstInboundVideo(const StatsMap& stats) {
    for (const auto& [id, entry] : stats)
        if (typeOf(entry) == "inbound-rtp" && field::string(entry, "kind") == "video") return &entry;
    return nullptr;
}

std::string stateName(const std::string& state) {
    static const std::map<std::string, std::string> names = {{"succeeded", "成功"},
                                                             {"failed", "失败"},
                                                             {"in-progress", "进行中"},
                                                             {"waiting", "等待"},
                                                             {"frozen", "冻结"}};
    auto it = names.find(state);
    return it == names.end() ? state : it->second;
}

bool nominatedSucceeded(const Json& pair) {
    return field::string(pair, "state") == "succeeded" && field::boolean(pair, "nominated", false);
}

std::string pairsPart(const StatsMap& stats) {
    std::map<std::string, int> byState; // sorted by state text
    int count = 0;
    for (const auto& [id, entry] : stats) {
        if (typeOf(entry) != "candidate-pair") continue;
        ++count;
        ++byState[field::string(entry, "state", "?")];
    }
    std::string part = "对 " + std::to_string(count);
    if (count == 0) return part;
    std::string counts;
    for (const auto& [state, n] : byState)
        counts += (counts.empty() ? "" : " ") + stateName(state) + std::to_string(n);
    return part + "（" + counts + "）";
}

const Json* summaryPair(const StatsMap& stats) {
    for (const auto& [id, entry] : stats) {
        if (typeOf(entry) != "transport") continue;
        if (const Json* pair = entryNamed(stats, field::string(entry, "selectedCandidatePairId")))
            return pair;
        break; // only the first transport entry names the pair
    }
    for (const auto& [id, entry] : stats)
        if (typeOf(entry) == "candidate-pair" && nominatedSucceeded(entry)) return &entry;
    return nullptr;
}

std::string candidateText(const StatsMap& stats, const Json& pair, const char* key) {
    const Json* candidate = entryNamed(stats, field::string(pair, key));
    if (!candidate) return "?";
    return field::string(*candidate, "candidateType", "?") + "/" + field::string(*candidate, "protocol", "?");
}

std::string selectedPart(const StatsMap& stats) {
    const Json* pair = summaryPair(stats);
    if (!pair) return "尚未选定路径";
    std::string part = "用 " + candidateText(stats, *pair, "localCandidateId") + "→" +
                       candidateText(stats, *pair, "remoteCandidateId");
    if (auto rtt = field::number(*pair, "currentRoundTripTime")) part += format(" 往返%.0fms", *rtt * 1000);
    if (auto bitrate = field::number(*pair, "availableOutgoingBitrate"))
        part += format(" 可用上行%.0fkbps", *bitrate / 1000);
    auto requests = field::number(*pair, "requestsSent");
    auto responses = field::number(*pair, "responsesReceived");
    if (requests && responses) part += " 探测" + integerText(*requests) + "/回应" + integerText(*responses);
    return part;
}

} // namespace

std::pair<std::string, std::optional<LinkDiagnostics::Sample>>
LinkDiagnostics::describe(const std::optional<Sample>& previous, const StatsMap& stats, double now) {
    std::string text = pairsPart(stats) + " · " + selectedPart(stats);
    const Json* inbound = firstInboundVideo(stats);
    if (!inbound) return {text, previous};

    Sample sample{now, field::number(*inbound, "bytesReceived", 0),
                  field::number(*inbound, "packetsReceived", 0), field::number(*inbound, "packetsLost", 0)};
    std::string part = "收 " + integerText(sample.packets) + "包";
    if (previous && previous->time < now) {
        part += format(" %.0fkbps", (sample.bytes - previous->bytes) * 8 / (now - previous->time) / 1000);
        double received = sample.packets - previous->packets;
        double lostNow = std::max(0.0, sample.lost - previous->lost);
        if (received + lostNow > 0) part += format(" 丢%.1f%%", lostNow / (received + lostNow) * 100);
    }
    part += " 累计丢" + integerText(sample.lost);
    if (auto jitter = field::number(*inbound, "jitter")) part += format(" 抖动%.0fms", *jitter * 1000);
    if (auto dropped = field::number(*inbound, "framesDropped"); dropped && *dropped > 0)
        part += " 丢帧" + integerText(*dropped);
    if (auto freezes = field::number(*inbound, "freezeCount"); freezes && *freezes > 0)
        part += " 卡顿" + integerText(*freezes);
    return {text + " · " + part, sample};
}

std::optional<SelectedRoute> selectedRoute(const StatsMap& stats) {
    std::set<std::string> ids;
    for (const auto& [id, entry] : stats)
        if (typeOf(entry) == "transport")
            if (auto selected = field::string(entry, "selectedCandidatePairId")) ids.insert(*selected);

    const Json* pair = nullptr;
    if (ids.size() == 1) {
        pair = entryNamed(stats, *ids.begin());
    } else if (ids.empty()) {
        for (const auto& [id, entry] : stats) {
            if (typeOf(entry) != "candidate-pair" || !nominatedSucceeded(entry)) continue;
            if (pair) return std::nullopt; // two nominated pairs: ambiguous
            pair = &entry;
        }
    }
    if (!pair) return std::nullopt;

    const Json* local = entryNamed(stats, field::string(*pair, "localCandidateId"));
    const Json* remote = entryNamed(stats, field::string(*pair, "remoteCandidateId"));
    if (!local || !remote) return std::nullopt;
    auto localType = field::string(*local, "candidateType");
    auto remoteType = field::string(*remote, "candidateType");
    if (!localType || !remoteType) return std::nullopt;
    bool relay = *localType == "relay" || *remoteType == "relay";
    return SelectedRoute{relay ? RTCMediaRoute::relay : RTCMediaRoute::direct, *localType,
                         field::string(*local, "protocol", "?"), *remoteType,
                         field::string(*remote, "protocol", "?")};
}

std::optional<std::pair<std::string, VideoSample>> videoLine(const std::optional<VideoSample>& previous,
                                                             const StatsMap& stats, double now) {
    const Json* inbound = firstInboundVideo(stats);
    if (!inbound) return std::nullopt;
    VideoSample sample{now, field::number(*inbound, "bytesReceived", 0),
                       field::number(*inbound, "framesDecoded", 0), field::number(*inbound, "qpSum", 0)};
    std::string line = "RTC video " + integerText(field::number(*inbound, "frameWidth", 0)) + "x" +
                       integerText(field::number(*inbound, "frameHeight", 0)) +
                       " fps=" + integerText(field::number(*inbound, "framesPerSecond", 0));
    if (previous && previous->time < now && previous->frames < sample.frames) {
        line += format(" kbps=%.0f", (sample.bytes - previous->bytes) * 8 / (now - previous->time) / 1000);
        line += format(" avgQP=%.1f", (sample.qpSum - previous->qpSum) / (sample.frames - previous->frames));
    }
    const Json* codec = entryNamed(stats, field::string(*inbound, "codecId"));
    const Json empty = Json::object();
    const Json& codecValues = codec ? *codec : empty;
    line += " codec=" + field::string(codecValues, "mimeType", "?") +
            " fmtp=" + field::string(codecValues, "sdpFmtpLine", "-") +
            " decoder=" + field::string(*inbound, "decoderImplementation", "-");
    return std::pair{line, sample};
}

std::string describePath(const NetworkPath& path) {
    using Kind = NetworkPath::InterfaceKind;
    auto yesNo = [](bool value) { return value ? "是" : "否"; };
    std::string status = path.status == NetworkPath::Status::satisfied            ? "可用"
                         : path.status == NetworkPath::Status::requiresConnection ? "需先连接"
                                                                                  : "不可用";
    std::string used = "无";
    for (Kind kind : {Kind::wifi, Kind::wired, Kind::cellular, Kind::other}) {
        if (std::find(path.usedKinds.begin(), path.usedKinds.end(), kind) != path.usedKinds.end()) {
            used = kindName(kind);
            break;
        }
    }
    std::string available;
    for (const auto& interface : path.available) {
        available += (available.empty() ? "" : ", ") + kindName(interface.kind) + " " + interface.name;
    }
    return status + " 使用 " + used + " 可用[" + available + "] 计费" + yesNo(path.expensive) + " 低数据" +
           yesNo(path.constrained) + " IPv4" + yesNo(path.supportsIPv4) + " IPv6" + yesNo(path.supportsIPv6);
}

} // namespace quorlinth
