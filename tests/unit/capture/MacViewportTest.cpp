#include "capture/MacViewport.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

std::string request(double width, double height, double scale, const char* extra = "") {
    char text[256];
    std::snprintf(text, sizeof text, R"({"type":"viewport","width":%g,"height":%g,"scale":%g%s})", width,
                  height, scale, extra);
    return text;
}

} // namespace

TEST(MacViewport, DerivesSizeFromRequest) {
    struct Case {
        std::string message;
        MacViewport expected;
    };
    const Case cases[] = {
        {request(2532, 1170, 3, R"(,"fit":true)"), {1298, 600, true, true}},
        {request(1170, 2532, 3, R"(,"fit":true)"), {600, 1298, true, true}},
        {request(3000, 2000, 1), {3000, 2000, false, false}},
        {request(5120, 2880, 1), {3840, 2160, false, false}},
        {request(1170, 2532, 1), {2532, 1170, false, false}},
        {request(3000, 2000, 1, R"(,"fit":false)"), {3000, 2000, false, false}},
        {request(2880, 1800, 2), {1440, 900, true, false}},
        {request(5120, 2880, 2), {1920, 1080, true, false}},
        {request(1000, 700, 2), {858, 600, true, false}},
        {request(1001, 701, 1), {1000, 700, false, false}},
        {request(1920, 1080, 0.5, R"(,"fit":true)"), {1920, 1080, false, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto viewport = MacViewport::fromRequest(c.message);
        ASSERT_TRUE(viewport);
        EXPECT_EQ(*viewport, c.expected) << viewport->text();
    }
}

TEST(MacViewport, RefusesUnusableRequests) {
    std::string padded = request(1920, 1080, 1);
    padded.insert(padded.size() - 1, std::string(512 - padded.size(), ' '));
    ASSERT_EQ(padded.size(), 512u);
    const std::string refused[] = {
        request(600, 400, 1),
        request(639, 1080, 1),
        request(1920, 359, 1),
        request(3840, 720, 2), // too wide for a HiDPI display once in points
        padded,
        R"({"type":"viewport","width":"1920","height":1080,"scale":1})",
        R"({"type":"viewport","width":1920,"height":1080})",
        R"({"type":"mouse","width":1920,"height":1080,"scale":1,"note":"viewport"})",
        R"({"type":"\u0076iewport","width":1920,"height":1080,"scale":1})",
        R"(["viewport",1920,1080,1])",
        R"({"type":"viewport","width":1920,"height":1080,"scale":1)",
        R"({"type":"viewport","width":1e300,"height":1e300,"scale":1})",
        // So lopsided that one side scales down to nothing.
        request(1e6, 360, 1),
        request(1e6, 360, 1, R"(,"fit":true)"),
        request(640, 1e6, 1, R"(,"fit":true)"),
        request(1e6, 360, 2),
        "",
    };
    for (const auto& message : refused) {
        SCOPED_TRACE(message);
        EXPECT_FALSE(MacViewport::fromRequest(message));
    }
    std::string fits = padded.substr(0, 511 - 1) + "}";
    EXPECT_TRUE(MacViewport::fromRequest(fits)) << "511 bytes are read";
}

TEST(MacViewport, TextNamesSizeDensityAndFit) {
    EXPECT_EQ((MacViewport{1920, 1080, false, false}.text()), "1920x1080");
    EXPECT_EQ((MacViewport{1298, 600, true, true}.text()), "1298x600@2x（手机专用）");
}

TEST(MacViewportSession, RestoreReturnsToOriginalOrBaseline) {
    MacViewportSession fresh;
    EXPECT_EQ(fresh.current, (MacViewport{1920, 1080, false, false}));
    EXPECT_FALSE(fresh.restore()) << "already at the baseline";

    MacViewportSession changed;
    changed.current = {1298, 600, true, true};
    EXPECT_TRUE(changed.restore());
    EXPECT_EQ(changed.current, MacViewport{});

    MacViewportSession withOriginal;
    withOriginal.original = MacViewport{2560, 1440, false, false};
    withOriginal.current = {1298, 600, true, true};
    EXPECT_TRUE(withOriginal.restore());
    EXPECT_EQ(withOriginal.current, (MacViewport{2560, 1440, false, false}));
    EXPECT_FALSE(withOriginal.original);
    EXPECT_TRUE(withOriginal.restore()) << "the original is used once, then the baseline";
    EXPECT_EQ(withOriginal.current, MacViewport{});
}
