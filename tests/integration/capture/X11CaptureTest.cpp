#include "X11TestWindow.h"
#include "XvfbServer.h"
#include "base/MainQueue.h"
#include "base/SerialQueue.h"
#include "capture/MacCapture.h"
#include "capture/MacCaptureStatus.h"
#include "platform/fake/FakeSessionMonitor.h"
#include "platform/linux/RandRDisplayServices.h"
#include "platform/linux/XShmScreenCapture.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

using namespace quorlinth;

namespace {

constexpr Millis kGenerous{15000};

uint32_t rgbAt(const PixelBuffer& picture, int x, int y) {
    const uint8_t* pixel = picture.data + size_t(y) * picture.stride + size_t(x) * 4;
    return uint32_t(pixel[2]) << 16 | uint32_t(pixel[1]) << 8 | pixel[0];
}

// Scaling may move a channel by a few steps.
::testing::AssertionResult near(uint32_t actual, uint32_t expected) {
    for (int shift : {0, 8, 16}) {
        int a = int(actual >> shift & 0xFF), e = int(expected >> shift & 0xFF);
        if (std::abs(a - e) > 4)
            return ::testing::AssertionFailure() << std::hex << actual << " is not near " << expected;
    }
    return ::testing::AssertionSuccess();
}

struct FrameLog {
    std::mutex mutex;
    std::vector<CapturedFrame> frames;
    std::atomic<int> count{0};
    void add(CapturedFrame frame) {
        std::lock_guard lock(mutex);
        frames.push_back(std::move(frame));
        if (frames.size() > 2) frames.erase(frames.begin()); // hold few, as the share host does
        ++count;
    }
    CapturedFrame last() {
        std::lock_guard lock(mutex);
        return frames.back();
    }
};

class X11CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMainQueue(&loop);
        ASSERT_TRUE(xvfb.running());
        displays = RandRDisplayServices::open(xvfb.display());
        ASSERT_TRUE(displays);
        capture = std::make_unique<XShmScreenCapture>(*displays);
    }

    bool waitFor(const std::function<bool()>& condition) {
        auto ticker = loop.every(Millis(5), Millis(5), [] {});
        return loop.runUntil(condition, kGenerous);
    }

    std::shared_ptr<MacCapture> makeCapture(MacShareQuality quality) {
        MacCapture::Platform platform{*displays, *capture, session, nullptr,
                                      [this](std::string line) { logged.push_back(line); }};
        auto made = MacCapture::create(platform);
        made->setQuality(quality);
        return made;
    }

    RunLoop loop;
    quorlinth::testing::XvfbServer xvfb{1920, 1080};
    std::unique_ptr<RandRDisplayServices> displays;
    std::unique_ptr<XShmScreenCapture> capture;
    FakeSessionMonitor session;
    std::vector<std::string> logged;
};

} // namespace

TEST_F(X11CaptureTest, ListsTheServerOutputAsTheMainDisplay) {
    DisplayID main = displays->mainDisplay();
    ASSERT_NE(main, 0u);
    EXPECT_EQ(displays->activeDisplays(), std::vector<DisplayID>{main});
    EXPECT_EQ(displays->currentMode(main), (DisplayMode{1920, 1080, 1920, 1080}));
    EXPECT_FALSE(displays->localizedName(main).empty());
    EXPECT_FALSE(displays->isBuiltin(main));
    EXPECT_NE(displays->configureMirror(main, main), 0) << "no mirroring on X11";
    EXPECT_TRUE(capture->preflightPermission());
    auto shareable = capture->shareableDisplays();
    ASSERT_TRUE(shareable);
    ASSERT_EQ(shareable.value().size(), 1u);
    EXPECT_EQ(shareable.value()[0].width, 1920);
}

TEST_F(X11CaptureTest, CapturesWhatIsDrawnAtTheQualityOutputSize) {
    X11TestWindow window(xvfb.display(), 1920, 1080);
    ASSERT_TRUE(window.ready());
    struct Case {
        MacShareQuality quality;
        PixelSize expected;
    };
    for (const Case& c :
         {Case{MacShareQuality::sharp, {1920, 1080}}, Case{MacShareQuality::standard, {1280, 720}}}) {
        SCOPED_TRACE(rawValue(c.quality));
        auto pipeline = makeCapture(c.quality);
        FrameLog frames;
        pipeline->onFrame = [&](CapturedFrame frame) { frames.add(std::move(frame)); };
        std::optional<Result<void>> started;
        pipeline->start([&](Result<void> result) { started = result; });
        ASSERT_TRUE(waitFor([&] { return started.has_value(); }));
        ASSERT_TRUE(*started) << started->error();
        ASSERT_TRUE(waitFor([&] { return frames.count > 0; }));
        CapturedFrame frame = frames.last();
        EXPECT_EQ(frame.pixels->width, c.expected.width);
        EXPECT_EQ(frame.pixels->height, c.expected.height);
        int w = frame.pixels->width, h = frame.pixels->height;
        EXPECT_TRUE(near(rgbAt(*frame.pixels, w / 4, h / 2), 0xFF0000));
        EXPECT_TRUE(near(rgbAt(*frame.pixels, 3 * w / 4, h / 2), 0x0000FF));
        EXPECT_TRUE(near(rgbAt(*frame.pixels, 10, 10), 0xFF0000));
        EXPECT_TRUE(near(rgbAt(*frame.pixels, w - 10, 10), 0x0000FF));
        pipeline->stop();
    }
}

TEST_F(X11CaptureTest, AnUnchangedScreenStopsProducingCompleteFrames) {
    X11TestWindow window(xvfb.display(), 1920, 1080);
    ASSERT_TRUE(window.ready());
    SerialQueue queue("quorlinth.mac.capture");
    std::atomic<int> complete{0};
    std::atomic<int> idle{0};
    std::mutex latestMutex;
    SharedPixels latest;
    StreamConfiguration config;
    config.width = 1920;
    config.height = 1080;
    auto stream = capture->startStream(
        displays->mainDisplay(), config, queue,
        [&](CaptureSample sample) {
            if (sample.status == FrameStatus::complete) {
                std::lock_guard lock(latestMutex);
                latest = sample.image;
                ++complete;
            } else if (sample.status == FrameStatus::idle) {
                ++idle;
            }
        },
        [](std::string) {});
    ASSERT_TRUE(stream) << stream.error();
    ASSERT_TRUE(waitFor([&] { return complete > 0 && idle >= 5; }));
    int before = complete;
    ASSERT_TRUE(waitFor([&] { return idle >= 30; })) << "about a second of unchanged screen";
    EXPECT_EQ(complete.load(), before) << "no new picture while nothing changes";

    window.paint(0x00FF00, 0x00FF00);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(latestMutex);
        return complete > before && rgbAt(*latest, 100, 100) == 0x00FF00u;
    }));
    stream.value()->stop();
}

TEST_F(X11CaptureTest, VirtualDisplayChildMakesACapturableDisplayThatGoesWithIt) {
    std::shared_ptr<MacVirtualDisplayProcess> process;
    bool done = false;
    MacVirtualDisplayProcess::Launch launch{VIRTUAL_DISPLAY_CHILD, Millis(8000), {}};
    MacVirtualDisplayProcess::start(launch, 1298, 600, true, loop, [&](auto started) {
        process = started;
        done = true;
    });
    ASSERT_TRUE(waitFor([&] { return done; }));
    ASSERT_TRUE(process);
    DisplayID id = process->displayID();
    EXPECT_TRUE(displays->isOnline(id));
    auto active = displays->activeDisplays();
    EXPECT_NE(std::find(active.begin(), active.end(), id), active.end());
    EXPECT_EQ(displays->currentMode(id), (DisplayMode{1298, 600, 2596, 1200}));
    EXPECT_EQ(displays->localizedName(id), "Quorlinth 虚拟屏");
    EXPECT_NE(displays->mainDisplay(), id) << "the real display stays the main one";

    SerialQueue queue("quorlinth.mac.capture");
    std::atomic<int> complete{0};
    std::atomic<int> width{0};
    auto stream = capture->startStream(
        id, {}, queue,
        [&](CaptureSample sample) {
            if (sample.status != FrameStatus::complete) return;
            width = sample.image->width;
            ++complete;
        },
        [](std::string) {});
    ASSERT_TRUE(stream) << stream.error();
    EXPECT_TRUE(waitFor([&] { return complete > 0; }));
    EXPECT_EQ(width.load(), 2596);
    stream.value()->stop();

    process->stop();
    EXPECT_TRUE(waitFor([&] { return process->exited() && !displays->isOnline(id); }));
}

// Xvfb cannot grow its screen: the controller's larger resolution is refused once, and nothing
// else is tried.
TEST_F(X11CaptureTest, ControllerViewportTheScreenCannotShowKeepsTheRealDisplayAsItIs) {
    int launches = 0;
    MacCapture::Platform platform{*displays, *capture, session,
                                  [&launches](auto&, auto, auto done) {
                                      ++launches;
                                      done(nullptr);
                                  },
                                  [this](std::string line) { logged.push_back(line); }};
    MacCapture::Timings timings;
    timings.followFirstWait = Millis(10);
    auto pipeline = MacCapture::create(platform, timings);
    std::vector<std::string> names;
    pipeline->onDisplayChange = [&](std::string name) { names.push_back(name); };
    std::optional<Result<void>> started;
    pipeline->start([&](Result<void> result) { started = result; });
    ASSERT_TRUE(waitFor([&] { return started.has_value(); }));
    ASSERT_TRUE(*started);

    auto requested = R"({"type":"viewport","width":2532,"height":1170,"scale":3,"fit":true})";
    ASSERT_EQ(routeViewportRequest(requested, pipeline.get()), ViewportRouting::applied);
    ASSERT_TRUE(waitFor([&] { return !names.empty(); }));
    EXPECT_EQ(
        std::count_if(logged.begin(), logged.end(),
                      [](auto& line) { return line.find("无法切换到 1298x600@2x") != std::string::npos; }),
        1);
    EXPECT_EQ(launches, 0);
    EXPECT_FALSE(pipeline->usesVirtualDisplay());
    EXPECT_EQ(pipeline->capturedDisplay(), displays->mainDisplay());
    EXPECT_EQ(displays->currentMode(displays->mainDisplay()), (DisplayMode{1920, 1080, 1920, 1080}));
    pipeline->stop();
}

// The share host's frame rate reaches a running stream: an unchanged screen's ticks (one idle
// sample per frame interval) come six times less often at 5 fps than at 30.
TEST_F(X11CaptureTest, ARunningStreamTakesANewFrameRate) {
    X11TestWindow window(xvfb.display(), 1920, 1080);
    ASSERT_TRUE(window.ready());
    SerialQueue queue("quorlinth.mac.capture");
    std::atomic<int> idle{0};
    StreamConfiguration config;
    config.width = 1920;
    config.height = 1080;
    auto stream = capture->startStream(
        displays->mainDisplay(), config, queue,
        [&](CaptureSample sample) { idle += sample.status == FrameStatus::idle; }, [](std::string) {});
    ASSERT_TRUE(stream) << stream.error();
    ASSERT_TRUE(waitFor([&] { return idle >= 5; }));

    config.minimumFrameIntervalTimescale = 5;
    stream.value()->updateConfiguration(config);
    loop.runFor(Millis(200)); // the change lands on the sample queue
    int before = idle;
    loop.runFor(Millis(2000));
    EXPECT_LE(idle - before, 15) << "about 10 ticks in two seconds at 5 fps, 60 at 30 fps";
    stream.value()->stop();
}
