#include "Captcha.h"

#include <gtest/gtest.h>
#include <png.h>
#include <set>

namespace quorlinth::service {
namespace {

struct Decoded {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

// Decodes with libpng's simplified reader, as a browser or image view would.
std::optional<Decoded> decodePng(const Bytes& png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::nullopt;
    image.format = PNG_FORMAT_RGBA;
    Decoded decoded{image.width, image.height, std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
    if (!png_image_finish_read(&image, nullptr, decoded.rgba.data(), 0, nullptr)) return std::nullopt;
    return decoded;
}

size_t darkPixels(const Decoded& image) {
    size_t dark = 0;
    for (size_t i = 0; i < image.rgba.size(); i += 4)
        if (image.rgba[i] + image.rgba[i + 1] + image.rgba[i + 2] < 3 * 120) ++dark;
    return dark;
}

TEST(Captcha, IsADecodablePngOfFiveDigits) {
    Captcha captcha = makeCaptcha();
    ASSERT_EQ(5u, captcha.answer.size());
    for (char c : captcha.answer)
        EXPECT_TRUE(c >= '0' && c <= '9');
    auto image = decodePng(captcha.png);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(uint32_t(kCaptchaWidth), image->width);
    EXPECT_EQ(uint32_t(kCaptchaHeight), image->height);
}

TEST(Captcha, DrawsTheDigitsAndVariesBetweenPictures) {
    // Glyphs are dark on a light background: a picture of digits holds far more dark
    // pixels than one of blanks (which only carries the noise). The noise is random, so
    // the pictures are compared on average.
    auto averageDarkPixels = [](const std::string& text) {
        size_t total = 0;
        for (int i = 0; i < 20; ++i) {
            auto picture = decodePng(renderCaptchaPng(text));
            if (!picture) return size_t(0);
            total += darkPixels(*picture);
        }
        return total / 20;
    };
    size_t blanks = averageDarkPixels("     ");
    ASSERT_GT(blanks, 0u);
    EXPECT_GT(averageDarkPixels("88888"), blanks + 5 * 300);

    std::set<std::string> answers;
    std::set<Bytes> pictures;
    for (int i = 0; i < 20; ++i) {
        Captcha captcha = makeCaptcha();
        answers.insert(captcha.answer);
        pictures.insert(captcha.png);
    }
    EXPECT_GT(answers.size(), 15u);
    EXPECT_EQ(20u, pictures.size()) << "the same digits are never drawn the same way twice";
    EXPECT_NE(renderCaptchaPng("12345"), renderCaptchaPng("12345"));
}

} // namespace
} // namespace quorlinth::service
