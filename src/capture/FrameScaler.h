#pragma once

#include "platform/PixelBuffer.h"

#include <memory>

namespace quorlinth {

// Brings captured pictures to the stream's output size. A picture already at that size is
// handed on as it is; any other is scaled once into a buffer from a small pool, so a frame is
// never copied twice and steady capture allocates nothing. Used on one queue only.
class FrameScaler {
public:
    static constexpr size_t kPoolSize = 4; // queue depth 3 plus the one being filled

    // Null when every pooled buffer is still held downstream (the frame is dropped).
    SharedPixels scale(const SharedPixels& source, int width, int height);

private:
    std::shared_ptr<PixelBufferPool> pool;
};

} // namespace quorlinth
