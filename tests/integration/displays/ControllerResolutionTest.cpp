#include "XorgDummyServer.h"
#include "base/MainQueue.h"
#include "capture/MacCapture.h"
#include "platform/fake/FakeSessionMonitor.h"
#include "platform/linux/RandRDisplayServices.h"
#include "platform/linux/XShmScreenCapture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <mutex>
#include <unistd.h>

using namespace quorlinth;

namespace {

constexpr Millis kGenerous{15000};

// The capture of a real X screen whose outputs take new modes: a controller's own resolution
// becomes the screen's mode while the controller stays, and the user's mode comes back.
class ControllerResolutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "Xorg with a configuration of our own needs root";
        installMainQueue(&loop);
        ASSERT_TRUE(xorg.running()) << "Xorg on the dummy driver did not start";
        displays = RandRDisplayServices::open(xorg.display());
        ASSERT_TRUE(displays);
        main = displays->mainDisplay();
        screen = std::make_unique<XShmScreenCapture>(*displays);
        MacCapture::Platform platform{*displays, *screen, session,
                                      [this](auto&, auto, auto done) {
                                          ++launches;
                                          done(nullptr);
                                      },
                                      [this](std::string line) {
                                          std::lock_guard lock(mutex);
                                          logged.push_back(line);
                                      }};
        MacCapture::Timings timings;
        timings.followFirstWait = Millis(10);
        capture = MacCapture::create(platform, timings);
        std::optional<Result<void>> started;
        capture->start([&](Result<void> result) { started = result; });
        ASSERT_TRUE(waitFor([&] { return started.has_value(); }));
        ASSERT_TRUE(*started);
    }

    void TearDown() override {
        if (capture) capture->stop();
    }

    bool waitFor(const std::function<bool()>& condition) {
        auto ticker = loop.every(Millis(5), Millis(5), [] {});
        return loop.runUntil(condition, kGenerous);
    }

    bool shows(int64_t width, int64_t height) {
        auto mode = displays->currentMode(main);
        return mode && mode->pixelWidth == width && mode->pixelHeight == height;
    }

    // Lines from here on are the next change's.
    void mark() {
        std::lock_guard lock(mutex);
        marked = logged.size();
    }

    void ask(const MacViewport& viewport) {
        mark();
        capture->viewport().current = viewport;
        capture->applyViewport();
    }

    // The stream was started again on the display at this size since the mark.
    bool capturesAt(const std::string& size) {
        return waitFor([&] {
            std::lock_guard lock(mutex);
            return std::any_of(logged.begin() + long(marked), logged.end(), [&](auto& line) {
                return line.rfind("采集显示器", 0) == 0 &&
                       line.find(" pixels=" + size + " ") != std::string::npos;
            });
        });
    }

    RunLoop loop;
    quorlinth::testing::XorgDummyServer xorg{1920, 1080};
    std::unique_ptr<RandRDisplayServices> displays;
    std::unique_ptr<XShmScreenCapture> screen;
    FakeSessionMonitor session;
    std::shared_ptr<MacCapture> capture;
    DisplayID main = 0;
    int launches = 0;
    std::mutex mutex;
    std::vector<std::string> logged;
    size_t marked = 0;
};

} // namespace

TEST_F(ControllerResolutionTest, TheScreenShowsItWhileTheControllerStays) {
    capture->viewport().original = capture->viewport().current;
    ask({1298, 600, true, true});
    ASSERT_TRUE(waitFor([&] { return shows(2596, 1200); }));
    EXPECT_TRUE(capturesAt("2596x1200"));

    ask({1000, 600, false, true});
    ASSERT_TRUE(waitFor([&] { return shows(1000, 600); }));
    EXPECT_TRUE(capturesAt("1000x600"));

    mark();
    capture->viewerLeft();
    ASSERT_TRUE(waitFor([&] { return shows(1920, 1080); }));
    EXPECT_TRUE(capturesAt("1920x1080"));
    EXPECT_EQ(launches, 0) << "no virtual display on a screen that changes its own mode";
    EXPECT_EQ(capture->capturedDisplay(), main);
}

TEST_F(ControllerResolutionTest, StoppingGivesTheUsersModeBack) {
    ask({1298, 600, false, true});
    ASSERT_TRUE(waitFor([&] { return shows(1298, 600); }));
    bool stopped = false;
    capture->stop([&] { stopped = true; });
    ASSERT_TRUE(waitFor([&] { return stopped; }));
    EXPECT_TRUE(shows(1920, 1080));
    EXPECT_EQ(launches, 0);
}
