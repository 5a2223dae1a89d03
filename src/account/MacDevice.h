#pragma once

#include "base/Json.h"
#include "base/Result.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlinth {

// Whether a device can be watched and controlled right now, as its heartbeat reports.
struct MacCapabilities {
    bool captureReady = false;
    bool inputReady = false;
    bool webrtc = false;

    bool operator==(const MacCapabilities&) const = default;
};

// The platform this build registers its device as: a full desktop target like "macos".
#if defined(__APPLE__)
inline constexpr const char* kThisDevicePlatform = "macos";
#else
inline constexpr const char* kThisDevicePlatform = "linux";
#endif

// A computer that shares its whole desktop with control, transfer and viewport ("macos" or
// "linux"), as opposed to a phone.
inline bool isDesktopPlatform(std::string_view platform) {
    return platform == "macos" || platform == "linux";
}

// One device of the account, as the device list returns it.
struct MacDevice {
    std::string id;
    std::string name;
    std::string platform; // "macos", "ios" or another platform name
    bool online = false;
    MacCapabilities capabilities;
    std::optional<bool> listed; // missing means listed

    bool operator==(const MacDevice&) const = default;

    // The status line shown under the device's name.
    std::string statusText() const;

    // Every field required with its type ("listed" optional); one bad entry fails the list.
    static std::optional<MacDevice> fromJson(const Json& value);
    static Result<std::vector<MacDevice>> listFromJson(const Json& value);
};

} // namespace quorlinth
