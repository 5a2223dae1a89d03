#pragma once

#include "base/SerialQueue.h"
#include "platform/PixelBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace quorlinth {

// A synthetic screen for hosts without a display to capture: colour bars, a bar that moves
// one step per frame and the frame number in large digits, at a steady frame rate.
class TestPattern {
public:
    TestPattern(int width, int height, int fps, std::function<void(SharedPixels)> onFrame);
    ~TestPattern();

    // Draws frame `index` into `pixels` (exposed for tests and benchmarks).
    static void draw(PixelBuffer& pixels, uint64_t index);
    // The colour (0xRRGGBB) of the bar at column `x` of the pattern's top band.
    static uint32_t barColour(int x, int width);

private:
    void tick();

    std::shared_ptr<PixelBufferPool> pool;
    std::function<void(SharedPixels)> onFrame;
    uint64_t index = 0;
    SerialQueue queue{"quorlinth.pattern"};
    Timer timer;
};

} // namespace quorlinth
