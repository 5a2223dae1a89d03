#pragma once

#include "base/Encoding.h"

#include <string>
#include <string_view>

namespace quorlinth::service {

struct Captcha {
    std::string answer; // the digits shown
    Bytes png;
};

// A picture of random digits drawn with a built-in 5x7 font, scaled up, shifted and
// overlaid with noise, as a 160x60 RGB PNG.
Captcha makeCaptcha(size_t digits = 5);
// Renders the given digits; characters other than 0-9 are left blank.
Bytes renderCaptchaPng(std::string_view digits);

constexpr int kCaptchaWidth = 160;
constexpr int kCaptchaHeight = 60;

} // namespace quorlinth::service
