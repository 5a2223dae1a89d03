#pragma once

#include "base/MediaRoute.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

// The picture quality the user picks; case order matters: index 0 is the best.
enum class MacShareQuality { native, sharp, standard };

inline constexpr std::array<MacShareQuality, 3> kAllShareQualities = {
    MacShareQuality::native, MacShareQuality::sharp, MacShareQuality::standard};

std::string rawValue(MacShareQuality quality);
std::optional<MacShareQuality> shareQualityFromRaw(std::string_view raw);
// The label shown in settings.
std::string label(MacShareQuality quality);

// What the encoder is told: the quality actually used and its ceilings.
struct MacStreamProfile {
    MacShareQuality quality;
    int64_t maxBitrate; // bits per second
    int64_t fps;

    bool operator==(const MacStreamProfile&) const = default;

    // `route` is nullopt while the route is not yet known.
    static MacStreamProfile resolve(MacShareQuality selected, int viewerLevel,
                                    std::optional<RTCMediaRoute> route);
};

// The smallest H.264 level_idc named by the offer's profile-level-id entries; 0 when none.
int viewerLevel(std::string_view offerSdp);

struct PixelSize {
    int width;
    int height;
    bool operator==(const PixelSize&) const = default;
};

// The capture output size for a display of `width` × `height` pixels: scaled down (never up)
// to the quality's edge caps, even, at least 2 × 2.
PixelSize outputSize(int width, int height, MacShareQuality quality);

} // namespace quorlinth
