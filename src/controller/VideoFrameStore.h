#pragma once

#include "rtc/RTCVideoFrame.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

namespace quorlinth {

// The newest decoded picture of one controller client: written on the decoding thread,
// read by views on the main thread, always under its lock. The version changes on every
// store and clear, so a reader can tell whether anything is new.
class VideoFrameStore {
public:
    void store(RTCVideoFrame frame) {
        std::lock_guard guard(lock);
        image = std::move(frame);
        ++version;
    }
    void clear() {
        std::lock_guard guard(lock);
        image.reset();
        ++version;
    }
    std::pair<std::optional<RTCVideoFrame>, uint64_t> read() const {
        std::lock_guard guard(lock);
        return {image, version};
    }

private:
    mutable std::mutex lock;
    std::optional<RTCVideoFrame> image;
    uint64_t version = 0;
};

} // namespace quorlinth
