#include "Captcha.h"

#include "Secrets.h"
#include "crypto/Random.h"

#include <array>
#include <png.h>

namespace quorlinth::service {

namespace {

// Rows of each digit, top to bottom; bit 4 is the leftmost pixel.
constexpr std::array<std::array<uint8_t, 7>, 10> kFont = {{
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}, // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}, // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}, // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}, // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}, // 9
}};
constexpr int kScale = 5;
constexpr int kCell = 30;

// Draws from one block of random bytes so a picture costs a single generator call.
class RandomSource {
public:
    explicit RandomSource(size_t count) : bytes(crypto::randomBytes(count)) {}
    int below(int bound) { return bytes[position++ % bytes.size()] % bound; }

private:
    Bytes bytes;
    size_t position = 0;
};

struct Canvas {
    std::vector<uint8_t> pixels = std::vector<uint8_t>(kCaptchaWidth * kCaptchaHeight * 3, 0);

    void set(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
        if (x < 0 || y < 0 || x >= kCaptchaWidth || y >= kCaptchaHeight) return;
        uint8_t* p = &pixels[size_t(y * kCaptchaWidth + x) * 3];
        p[0] = r, p[1] = g, p[2] = b;
    }
};

void drawBackground(Canvas& canvas, RandomSource& random) {
    for (int y = 0; y < kCaptchaHeight; ++y)
        for (int x = 0; x < kCaptchaWidth; ++x) {
            auto shade = uint8_t(215 + random.below(40));
            canvas.set(x, y, shade, uint8_t(shade - random.below(20)), shade);
        }
}

void drawDigit(Canvas& canvas, RandomSource& random, int digit, int left, int top) {
    auto r = uint8_t(random.below(110)), g = uint8_t(random.below(110)), b = uint8_t(random.below(110));
    int slant = random.below(3) - 1; // a slight shear per glyph
    for (int row = 0; row < 7; ++row)
        for (int column = 0; column < 5; ++column) {
            if (!(kFont[size_t(digit)][size_t(row)] & (0x10 >> column))) continue;
            int shear = slant * (3 - row);
            for (int dy = 0; dy < kScale; ++dy)
                for (int dx = 0; dx < kScale; ++dx)
                    canvas.set(left + column * kScale + dx + shear, top + row * kScale + dy, r, g, b);
        }
}

void drawNoise(Canvas& canvas, RandomSource& random) {
    for (int line = 0; line < 5; ++line) {
        int y = random.below(kCaptchaHeight), dy = random.below(5) - 2;
        auto shade = uint8_t(60 + random.below(120));
        for (int x = 0; x < kCaptchaWidth; ++x)
            canvas.set(x, y + dy * x / 40, shade, shade, uint8_t(shade / 2));
    }
    for (int dot = 0; dot < 500; ++dot) {
        auto shade = uint8_t(random.below(200));
        canvas.set(random.below(kCaptchaWidth), random.below(kCaptchaHeight), shade, shade, shade);
    }
}

void appendToBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

Bytes encodePng(const Canvas& canvas) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, appendToBytes, nullptr);
    png_set_IHDR(png, info, kCaptchaWidth, kCaptchaHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < kCaptchaHeight; ++y)
        png_write_row(png, const_cast<png_bytep>(&canvas.pixels[size_t(y * kCaptchaWidth) * 3]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

} // namespace

Bytes renderCaptchaPng(std::string_view digits) {
    RandomSource random(kCaptchaWidth * kCaptchaHeight * 2 + 4096);
    Canvas canvas;
    drawBackground(canvas, random);
    int left = (kCaptchaWidth - int(digits.size()) * kCell) / 2 + 2;
    for (size_t i = 0; i < digits.size(); ++i) {
        char c = digits[i];
        int top = 6 + random.below(16);
        if (c >= '0' && c <= '9')
            drawDigit(canvas, random, c - '0', left + int(i) * kCell + random.below(5), top);
    }
    drawNoise(canvas, random);
    return encodePng(canvas);
}

Captcha makeCaptcha(size_t digits) {
    std::string answer = randomDigits(digits);
    return {answer, renderCaptchaPng(answer)};
}

} // namespace quorlinth::service
