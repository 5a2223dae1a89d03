#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quorlinth {

// A picture converted for the encoder: I420 planes packed one after another (Y, then U, then V).
struct RTCI420Frame {
    int width = 0;
    int height = 0;
    int64_t timestampNs = 0;
    int64_t capturedNs = 0; // when the picture was captured, for stage timings
    std::vector<uint8_t> planes;
};

// Where converted frames go: the video sender of the current peer connection.
class RTCFrameConsumer {
public:
    virtual ~RTCFrameConsumer() = default;
    // Whether a frame with this timestamp is wanted (the sender's frame-rate cap).
    virtual bool wantsFrame(int64_t timestampNs) = 0;
    virtual void consumeFrame(RTCI420Frame frame) = 0;
};

// The video source a sender is fed from: BGRA pixel buffers with a timestamp, each optionally
// scaled as a whole to an adapted output size. Lives independently of peer connections; the
// current sender attaches itself. Thread-safe; conversion runs on the pushing thread.
class RTCVideoSource {
public:
    struct Size {
        int width = 0;
        int height = 0;
        bool operator==(const Size&) const = default;
    };

    // Returns whether the frame was handed to a sender (false without one, when the sender's
    // frame-rate cap skips it, or for an unusable buffer). `capturedNs` (monotonic) is when the
    // picture was taken, when known; the push instant otherwise.
    bool pushFrame(const uint8_t* bgra, int width, int height, int stride, int64_t timestampNs,
                   std::optional<Size> adaptedSize = std::nullopt, int64_t capturedNs = 0);

    void attach(std::weak_ptr<RTCFrameConsumer> consumer);
    void detach(const RTCFrameConsumer* consumer);

    // BGRA to I420, scaling the whole picture to `output` (even sizes only). Empty on bad input.
    static std::optional<RTCI420Frame> convert(const uint8_t* bgra, int width, int height, int stride,
                                               Size output);

private:
    std::mutex mutex;
    std::weak_ptr<RTCFrameConsumer> target;
};

} // namespace quorlinth
