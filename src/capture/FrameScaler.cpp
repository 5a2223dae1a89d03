#include "capture/FrameScaler.h"

#include <libyuv/scale_argb.h>

namespace quorlinth {

SharedPixels FrameScaler::scale(const SharedPixels& source, int width, int height) {
    if (!source || !source->data) return nullptr;
    if (source->width == width && source->height == height) return source;
    if (!pool || pool->width() != width || pool->height() != height)
        pool = PixelBufferPool::create(width, height, kPoolSize);
    auto target = pool->acquire();
    if (!target) return nullptr;
    int failed = libyuv::ARGBScale(source->data, source->stride, source->width, source->height, target->data,
                                   target->stride, width, height, libyuv::kFilterBilinear);
    if (failed) return nullptr;
    return target;
}

} // namespace quorlinth
