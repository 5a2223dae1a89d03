#pragma once

#include "base/Result.h"
#include "rtc/RTCTypes.h"

#include <memory>

namespace quorlinth {

// The send-only video sender of a peer connection. Parameters apply while streaming: the
// encoder's bitrate follows the maximum bitrate (never below the minimum) at once, the frame
// rate is capped at the maximum frame rate, and the resolution is never lowered.
class RTCRtpSender {
public:
    struct Impl;
    explicit RTCRtpSender(std::shared_ptr<Impl> impl);
    ~RTCRtpSender();

    RTCRtpParameters parameters() const;
    Result<void> setParameters(const RTCRtpParameters& parameters);

private:
    std::shared_ptr<Impl> impl;
};

} // namespace quorlinth
