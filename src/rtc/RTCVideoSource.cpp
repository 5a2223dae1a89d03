#include "rtc/RTCVideoSource.h"

#include <libyuv.h>

namespace quorlinth {

std::optional<RTCI420Frame> RTCVideoSource::convert(const uint8_t* bgra, int width, int height, int stride,
                                                    Size output) {
    if (!bgra || width < 2 || height < 2 || stride < width * 4) return std::nullopt;
    if (output.width < 2 || output.height < 2 || output.width % 2 || output.height % 2) return std::nullopt;
    RTCI420Frame frame;
    frame.width = output.width;
    frame.height = output.height;
    size_t lumaSize = static_cast<size_t>(output.width) * output.height;
    size_t chromaSize = lumaSize / 4;
    frame.planes.resize(lumaSize + 2 * chromaSize);
    uint8_t* y = frame.planes.data();
    uint8_t* u = y + lumaSize;
    uint8_t* v = u + chromaSize;
    int chromaStride = output.width / 2;
    if (output.width == width && output.height == height) {
        // libyuv's "ARGB" is B, G, R, A in memory.
        if (libyuv::ARGBToI420(bgra, stride, y, output.width, u, chromaStride, v, chromaStride, width,
                               height) != 0)
            return std::nullopt;
        return frame;
    }
    // Convert at the source size, then scale the whole picture.
    int evenWidth = width & ~1, evenHeight = height & ~1;
    std::vector<uint8_t> full(static_cast<size_t>(evenWidth) * evenHeight * 3 / 2);
    uint8_t* fy = full.data();
    uint8_t* fu = fy + static_cast<size_t>(evenWidth) * evenHeight;
    uint8_t* fv = fu + static_cast<size_t>(evenWidth) * evenHeight / 4;
    if (libyuv::ARGBToI420(bgra, stride, fy, evenWidth, fu, evenWidth / 2, fv, evenWidth / 2, evenWidth,
                           evenHeight) != 0)
        return std::nullopt;
    if (libyuv::I420Scale(fy, evenWidth, fu, evenWidth / 2, fv, evenWidth / 2, evenWidth, evenHeight, y,
                          output.width, u, chromaStride, v, chromaStride, output.width, output.height,
                          libyuv::kFilterBilinear) != 0)
        return std::nullopt;
    return frame;
}

bool RTCVideoSource::pushFrame(const uint8_t* bgra, int width, int height, int stride, int64_t timestampNs,
                               std::optional<Size> adaptedSize, int64_t capturedNs) {
    std::shared_ptr<RTCFrameConsumer> consumer;
    {
        std::lock_guard lock(mutex);
        consumer = target.lock();
    }
    if (!consumer || !consumer->wantsFrame(timestampNs)) return false;
    Size output = adaptedSize.value_or(Size{width & ~1, height & ~1});
    auto frame = convert(bgra, width, height, stride, output);
    if (!frame) return false;
    frame->timestampNs = timestampNs;
    frame->capturedNs = capturedNs ? capturedNs : timestampNs;
    consumer->consumeFrame(std::move(*frame));
    return true;
}

void RTCVideoSource::attach(std::weak_ptr<RTCFrameConsumer> consumer) {
    std::lock_guard lock(mutex);
    target = std::move(consumer);
}

void RTCVideoSource::detach(const RTCFrameConsumer* consumer) {
    std::lock_guard lock(mutex);
    if (target.lock().get() == consumer) target.reset();
}

} // namespace quorlinth
