#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quorlinth {

// A decoded picture as a BGRA pixel buffer (byte order B, G, R, A; rows of `stride` bytes).
struct RTCVideoFrame {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::shared_ptr<const std::vector<uint8_t>> bgra;
    int64_t timestampNs = 0; // running time of the frame in the receiving pipeline
};

// Receives decoded frames on the engine's decoding thread: store the frame under a lock and
// hop to your own queue for anything else; never block here.
class RTCVideoRenderer {
public:
    virtual ~RTCVideoRenderer() = default;
    virtual void renderFrame(const RTCVideoFrame& frame) = 0;
};

} // namespace quorlinth
