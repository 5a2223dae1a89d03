#include "capture/StreamProfile.h"

#include <algorithm>
#include <climits>

namespace quorlinth {

namespace {

struct QualityTraits {
    const char* raw;
    const char* label;
    double longEdgeCap;
    double shortEdgeCap;
};

const QualityTraits& traits(MacShareQuality quality) {
    static const QualityTraits table[] = {
        {"native", "原画 · 直连时按屏幕原始分辨率", 3840, 2400},
        {"sharp", "清晰 · 长边最高 1920", 1920, 1080},
        {"standard", "标准 · 长边最高 1280", 1280, 720},
    };
    return table[static_cast<int>(quality)];
}

MacShareQuality viewerCap(int level) {
    if (level >= 51) return MacShareQuality::native;
    if (level >= 42) return MacShareQuality::sharp;
    return MacShareQuality::standard;
}

// Hex digits with an optional leading sign, as a whole; nullopt otherwise.
std::optional<int> parseSignedHex(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    int value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + digit;
    }
    return negative ? -value : value;
}

int evenAtLeastTwo(double value) {
    int64_t truncated = static_cast<int64_t>(value);
    if (truncated < 2) return 2;
    return static_cast<int>(std::min<int64_t>(truncated & ~int64_t(1), INT_MAX - 1));
}

} // namespace

std::string rawValue(MacShareQuality quality) {
    return traits(quality).raw;
}

std::optional<MacShareQuality> shareQualityFromRaw(std::string_view raw) {
    for (MacShareQuality quality : kAllShareQualities)
        if (raw == traits(quality).raw) return quality;
    return std::nullopt;
}

std::string label(MacShareQuality quality) {
    return traits(quality).label;
}

MacStreamProfile MacStreamProfile::resolve(MacShareQuality selected, int viewerLevel,
                                           std::optional<RTCMediaRoute> route) {
    // The lower quality is the one later in case order.
    MacShareQuality effective = std::max(selected, viewerCap(viewerLevel));
    bool open = isDirect(route);
    switch (effective) {
    case MacShareQuality::native:
        return open ? MacStreamProfile{MacShareQuality::native, 30'000'000, 30}
                    : MacStreamProfile{MacShareQuality::sharp, 4'000'000, 20};
    case MacShareQuality::sharp:
        return open ? MacStreamProfile{MacShareQuality::sharp, 12'000'000, 30}
                    : MacStreamProfile{MacShareQuality::sharp, 4'000'000, 20};
    case MacShareQuality::standard:
        break;
    }
    return open ? MacStreamProfile{MacShareQuality::standard, 6'000'000, 30}
                : MacStreamProfile{MacShareQuality::standard, 2'500'000, 20};
}

int viewerLevel(std::string_view offerSdp) {
    constexpr std::string_view marker = "profile-level-id=";
    std::optional<int> lowest;
    size_t at = offerSdp.find(marker);
    while (at != std::string_view::npos) {
        size_t start = at + marker.size();
        size_t next = offerSdp.find(marker, start);
        std::string_view piece = offerSdp.substr(start, next == std::string_view::npos ? next : next - start);
        std::string_view head = piece.substr(0, 6);
        std::string_view levelDigits = head.size() < 2 ? head : head.substr(head.size() - 2);
        if (auto value = parseSignedHex(levelDigits)) lowest = std::min(lowest.value_or(INT_MAX), *value);
        at = next;
    }
    return lowest.value_or(0);
}

PixelSize outputSize(int width, int height, MacShareQuality quality) {
    const QualityTraits& caps = traits(quality);
    double longEdge = std::max(std::max(width, 1), height);
    double shortEdge = std::max(std::min(width, height), 1);
    double scale = std::min({1.0, caps.longEdgeCap / longEdge, caps.shortEdgeCap / shortEdge});
    return {evenAtLeastTwo(scale * width), evenAtLeastTwo(scale * height)};
}

} // namespace quorlinth
