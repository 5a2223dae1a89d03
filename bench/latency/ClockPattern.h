#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quorlinth::latency {

// What the probe shows: the wall-clock millisecond it drew the picture (modulo 2^32) and how
// many pointer presses it has seen (modulo 256).
struct ClockReading {
    uint32_t drawnMs = 0;
    uint8_t presses = 0;
    bool operator==(const ClockReading&) const = default;
};

// A block pattern that survives H.264 at low bitrates and scaling: 3 rows of 20 black or white
// squares, 40 px each on a 1920-wide screen, carrying 32 time bits, 8 press bits and a CRC-16
// that rejects pictures caught between two drawings or smeared by the encoder.
class ClockPattern {
public:
    static constexpr int kScreenWidth = 1920;
    static constexpr int kOriginX = 40;
    static constexpr int kOriginY = 40;
    static constexpr int kBlock = 40;
    static constexpr int kColumns = 20;
    static constexpr int kRows = 3;
    static constexpr int kBits = kColumns * kRows;
    // The area the probe keeps for the pattern (plus a grey margin of one block).
    static constexpr int kAreaWidth = kColumns * kBlock + 2 * kBlock;
    static constexpr int kAreaHeight = kRows * kBlock + 2 * kBlock;

    // One flag per block, row by row: true is white.
    static std::vector<bool> encode(ClockReading reading);
    // Reads a picture of the whole screen, scaled to any width (BGRA, BGRX or RGBX: only
    // brightness counts). Empty when the blocks do not carry a valid reading.
    static std::optional<ClockReading> decode(const uint8_t* pixels, int width, int height, int stride);
};

uint16_t crc16(const uint8_t* bytes, size_t count);

// Milliseconds from `drawnMs` to `nowMs` on the 32-bit wrapped clock (negative when the drawing
// lies in the future, as it does for a picture read wrongly).
int64_t wrappedDifferenceMs(uint32_t drawnMs, uint64_t nowMs);

} // namespace quorlinth::latency
