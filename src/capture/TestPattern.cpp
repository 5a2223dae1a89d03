#include "capture/TestPattern.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace quorlinth {

namespace {

// 5×7 digits, one byte per row, bit 4 the leftmost pixel.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// Colour bars as 0xRRGGBB: white, yellow, cyan, green, magenta, red, blue, black.
constexpr uint32_t kBars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};

// `rgb` is 0xRRGGBB; in memory a pixel is B, G, R, A.
void fillRect(PixelBuffer& pixels, int x0, int y0, int w, int h, uint32_t rgb) {
    x0 = std::clamp(x0, 0, pixels.width);
    y0 = std::clamp(y0, 0, pixels.height);
    int x1 = std::clamp(x0 + w, 0, pixels.width), y1 = std::clamp(y0 + h, 0, pixels.height);
    for (int y = y0; y < y1; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(pixels.data + size_t(y) * pixels.stride);
        std::fill(row + x0, row + x1, 0xFF000000u | rgb);
    }
}

void drawNumber(PixelBuffer& pixels, uint64_t number, int x, int y, int scale) {
    std::string digits = std::to_string(number);
    for (char digit : digits) {
        const uint8_t* glyph = kDigits[digit - '0'];
        for (int row = 0; row < 7; ++row)
            for (int column = 0; column < 5; ++column)
                if (glyph[row] & (0x10 >> column))
                    fillRect(pixels, x + column * scale, y + row * scale, scale, scale, 0xFFFFFF);
        x += 6 * scale;
    }
}

} // namespace

uint32_t TestPattern::barColour(int x, int width) {
    int bar = std::clamp(x * 8 / std::max(width, 1), 0, 7);
    return kBars[bar];
}

void TestPattern::draw(PixelBuffer& pixels, uint64_t index) {
    int band = pixels.height / 2;
    for (int y = 0; y < band; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(pixels.data + size_t(y) * pixels.stride);
        for (int x = 0; x < pixels.width; ++x)
            row[x] = 0xFF000000u | barColour(x, pixels.width);
    }
    fillRect(pixels, 0, band, pixels.width, pixels.height - band, 0x202020);
    int step = std::max(pixels.width / 120, 1);
    int barWidth = std::max(pixels.width / 16, 2);
    int position = int((index * step) % uint64_t(std::max(pixels.width - barWidth, 1)));
    fillRect(pixels, position, band, barWidth, pixels.height / 8, 0x00C0FF);
    int scale = std::max(pixels.height / 40, 2);
    drawNumber(pixels, index, scale * 2, pixels.height - 9 * scale, scale);
}

TestPattern::TestPattern(int width, int height, int fps, std::function<void(SharedPixels)> onFrame)
    : pool(PixelBufferPool::create(width, height, 4)), onFrame(std::move(onFrame)) {
    Millis period(std::max(1000 / std::max(fps, 1), 1));
    timer = queue.every(Millis(0), period, [this] { tick(); });
}

TestPattern::~TestPattern() {
    timer.cancel();
}

void TestPattern::tick() {
    auto pixels = pool->acquire();
    if (!pixels) return; // every buffer is still in use downstream: skip this frame
    draw(*pixels, index++);
    onFrame(std::move(pixels));
}

} // namespace quorlinth
