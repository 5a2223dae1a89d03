#pragma once

#include "ClockPattern.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace quorlinth::latency {

// For tests: a whole 1920×1080 BGRA screen as the probe draws it, grey with the pattern's
// blocks at their places.
constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

inline std::vector<uint8_t> paintScreen(ClockReading reading) {
    std::vector<uint8_t> pixels(size_t(kScreenWidth) * kScreenHeight * 4, 0x80);
    std::vector<bool> blocks = ClockPattern::encode(reading);
    for (int index = 0; index < ClockPattern::kBits; ++index) {
        int left = ClockPattern::kOriginX + (index % ClockPattern::kColumns) * ClockPattern::kBlock;
        int top = ClockPattern::kOriginY + (index / ClockPattern::kColumns) * ClockPattern::kBlock;
        for (int y = top; y < top + ClockPattern::kBlock; ++y)
            std::memset(pixels.data() + (size_t(y) * kScreenWidth + left) * 4, blocks[index] ? 0xFF : 0x00,
                        ClockPattern::kBlock * 4);
    }
    return pixels;
}

} // namespace quorlinth::latency
