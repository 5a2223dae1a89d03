#include "ClockPattern.h"

#include <algorithm>

namespace quorlinth::latency {

namespace {

std::vector<uint8_t> payload(ClockReading reading) {
    return {uint8_t(reading.drawnMs >> 24), uint8_t(reading.drawnMs >> 16), uint8_t(reading.drawnMs >> 8),
            uint8_t(reading.drawnMs), reading.presses};
}

// Mean brightness of the middle half of one block, in the picture's own scale.
int blockBrightness(const uint8_t* pixels, int width, int height, int stride, int column, int row) {
    double scale = double(width) / ClockPattern::kScreenWidth;
    int size = ClockPattern::kBlock;
    int left = int((ClockPattern::kOriginX + column * size + size / 4) * scale);
    int top = int((ClockPattern::kOriginY + row * size + size / 4) * scale);
    int span = std::max(1, int(size / 2 * scale));
    if (left + span > width || top + span > height) return -1;
    long sum = 0;
    for (int y = top; y < top + span; ++y) {
        const uint8_t* pixel = pixels + size_t(y) * stride + size_t(left) * 4;
        for (int x = 0; x < span; ++x, pixel += 4)
            sum += pixel[0] + pixel[1] + pixel[2];
    }
    return int(sum / (3L * span * span));
}

} // namespace

uint16_t crc16(const uint8_t* bytes, size_t count) {
    uint16_t crc = 0xFFFF; // CCITT-FALSE
    for (size_t index = 0; index < count; ++index) {
        crc ^= uint16_t(bytes[index]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x8000 ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

std::vector<bool> ClockPattern::encode(ClockReading reading) {
    std::vector<uint8_t> bytes = payload(reading);
    uint16_t check = crc16(bytes.data(), bytes.size());
    bytes.push_back(uint8_t(check >> 8));
    bytes.push_back(uint8_t(check));
    std::vector<bool> blocks;
    for (uint8_t byte : bytes)
        for (int bit = 7; bit >= 0; --bit)
            blocks.push_back((byte >> bit) & 1);
    // Spare blocks alternate, so a picture of a uniform area never reads as a pattern.
    while (int(blocks.size()) < kBits)
        blocks.push_back(blocks.size() % 2 == 0);
    return blocks;
}

std::optional<ClockReading> ClockPattern::decode(const uint8_t* pixels, int width, int height, int stride) {
    if (!pixels || width < 64 || height < 64 || stride < width * 4) return std::nullopt;
    std::vector<bool> blocks;
    for (int row = 0; row < kRows; ++row)
        for (int column = 0; column < kColumns; ++column) {
            int brightness = blockBrightness(pixels, width, height, stride, column, row);
            if (brightness < 0) return std::nullopt;
            blocks.push_back(brightness >= 128);
        }
    std::vector<uint8_t> bytes(7, 0);
    for (size_t index = 0; index < bytes.size() * 8; ++index)
        bytes[index / 8] = uint8_t(bytes[index / 8] << 1 | (blocks[index] ? 1 : 0));
    for (size_t index = bytes.size() * 8; index < blocks.size(); ++index)
        if (blocks[index] != (index % 2 == 0)) return std::nullopt;
    if (crc16(bytes.data(), 5) != uint16_t(bytes[5] << 8 | bytes[6])) return std::nullopt;
    return ClockReading{
        uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3], bytes[4]};
}

int64_t wrappedDifferenceMs(uint32_t drawnMs, uint64_t nowMs) {
    return int64_t(int32_t(uint32_t(nowMs) - drawnMs));
}

} // namespace quorlinth::latency
