#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

// A remote screen size a controller asked for.
struct MacViewport {
    int64_t width = 1920; // points
    int64_t height = 1080;
    bool hiDPI = false;
    bool fit = false; // a controller-specific ("手机专用") resolution

    bool operator==(const MacViewport&) const = default;

    // "<w>x<h>", "@2x" when HiDPI, "（手机专用）" when fit; used in log lines.
    std::string text() const;

    // The viewport a controller's raw "viewport" control message asks for; nullopt when the
    // bytes are not such a request or ask for something unusable.
    static std::optional<MacViewport> fromRequest(std::string_view message);
};

// The viewport in force and the one to go back to when the controller leaves.
struct MacViewportSession {
    MacViewport current;
    std::optional<MacViewport> original;

    // Makes `original` (or the 1920 × 1080 baseline) current again; true when `current` changed.
    bool restore();
};

} // namespace quorlinth
