#include "capture/MacCapture.h"

#include "base/MainQueue.h"
#include "capture/MacCaptureStatus.h"
#include "platform/fake/FakeDisplayServices.h"
#include "platform/fake/FakeScreenCapture.h"
#include "platform/fake/FakeSessionMonitor.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

constexpr Millis kGenerous{10000};
constexpr DisplayID kBuiltIn = 1;
constexpr DisplayID kExternal = 2;
constexpr DisplayID kFirstVirtual = 900;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

class MacCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMainQueue(&loop);
        addRealDisplay(kBuiltIn, "内建显示器", {1440, 900, 2880, 1800}, true);
        displays.setMain(kBuiltIn);
    }

    void TearDown() override {
        if (capture) {
            bool stopped = false;
            capture->stop([&] { stopped = true; });
            loop.runUntil([&] { return stopped; }, kGenerous);
        }
    }

    void addRealDisplay(DisplayID id, std::string name, DisplayMode mode, bool builtin = false) {
        displays.add({id,
                      std::move(name),
                      mode,
                      {mode.width, mode.height, mode.width, mode.height},
                      true,
                      true,
                      false,
                      builtin,
                      0});
        screen.displays.push_back({id, mode.width, mode.height});
    }

    void removeDisplay(DisplayID id) {
        displays.remove(id);
        std::erase_if(screen.displays, [id](auto& d) { return d.id == id; });
    }

    MacCapture::Timings fastTimings() {
        MacCapture::Timings t;
        t.followFirstWait = Millis(2);
        t.retryUnlocked = Millis(2);
        t.retryLocked = Millis(3);
        t.displayCheckPeriod = Millis(3600000); // tests call the check through events instead
        t.viewportSettle = Millis(20);
        t.virtualRetryBlock = Millis(30000);
        t.removalChecks = 20;
        t.removalCheckInterval = Millis(1);
        return t;
    }

    // Launches fake virtual displays that appear as displays at once.
    void launchVirtual(const MacViewport& viewport, MacVirtualDisplayProcess::CancelFlag,
                       std::function<void(std::shared_ptr<MacVirtualDisplayProcess>)> done) {
        launched.push_back(viewport);
        if (failVirtualDisplays) {
            loop.post([done] { done(nullptr); });
            return;
        }
        DisplayID id = kFirstVirtual + DisplayID(launched.size());
        int64_t factor = viewport.hiDPI ? 2 : 1;
        DisplayMode mode{viewport.width, viewport.height, viewport.width * factor, viewport.height * factor};
        displays.add({id,
                      "Quorlinth 虚拟屏",
                      mode,
                      {mode.width, mode.height, mode.width, mode.height},
                      true,
                      true,
                      false,
                      false,
                      0});
        screen.displays.push_back({id, mode.width, mode.height});
        loop.post([done, id] { done(MacVirtualDisplayProcess::adopt(id)); });
    }

    void makeCapture(MacCapture::Timings timings) {
        MacCapture::Platform platform{
            displays,
            screen,
            session,
            [this](auto viewport, auto cancel, auto done) { launchVirtual(viewport, cancel, done); },
            [this](std::string line) { logged.push_back(line); },
            [this] { return now; }};
        capture = MacCapture::create(platform, timings);
        capture->onFailure = [this](std::string text) { failures.push_back(text); };
        capture->onWaiting = [this](std::optional<std::string> text) { waiting.push_back(text); };
        capture->onDisplayChange = [this](std::string name) { displayNames.push_back(name); };
        capture->onLockChange = [this](bool locked) { lockChanges.push_back(locked); };
        capture->onVirtualDisplay = [this](bool present) { virtualChanges.push_back(present); };
    }

    // Waits for a condition that another thread may make true; the ticker wakes the loop.
    bool waitFor(const std::function<bool()>& condition) {
        auto ticker = loop.every(Millis(1), Millis(1), [] {});
        return loop.runUntil(condition, kGenerous);
    }

    Result<void> startCapture(MacCapture::Timings timings) {
        makeCapture(timings);
        return startAgain();
    }

    Result<void> startAgain() {
        std::optional<Result<void>> result;
        capture->start([&](Result<void> r) { result = r; });
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }, kGenerous));
        return result.value_or(Result<void>(Error{"no answer"}));
    }

    Result<void> startCapture() { return startCapture(fastTimings()); }

    bool loggedLine(const std::string& prefix) const {
        return std::any_of(logged.begin(), logged.end(),
                           [&](auto& line) { return startsWith(line, prefix); });
    }

    RunLoop loop;
    FakeDisplayServices displays;
    FakeScreenCapture screen;
    FakeSessionMonitor session;
    Clock::time_point now = Clock::now();
    bool failVirtualDisplays = false;
    std::vector<MacViewport> launched;
    std::shared_ptr<MacCapture> capture;
    std::vector<std::string> logged, failures, displayNames;
    std::vector<std::optional<std::string>> waiting;
    std::vector<bool> lockChanges, virtualChanges;
};

CaptureSample sampleOf(SharedPixels image, std::optional<FrameStatus> status) {
    CaptureSample sample;
    sample.image = std::move(image);
    sample.status = status;
    return sample;
}

} // namespace

TEST_F(MacCaptureTest, StartsOnTheMainDisplayAtTheQualityOutputSize) {
    ASSERT_TRUE(startCapture());
    auto stream = screen.latest();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->display, kBuiltIn);
    EXPECT_EQ(stream->config.width, 1728);
    EXPECT_EQ(stream->config.height, 1080);
    EXPECT_EQ(stream->config.queueDepth, 3);
    EXPECT_EQ(stream->config.minimumFrameIntervalTimescale, 30);
    EXPECT_TRUE(stream->config.showsCursor);
    EXPECT_EQ(stream->config.pixelFormat, kPixelFormatBGRA);
    EXPECT_TRUE(
        loggedLine("采集显示器 id=1 target=1 main=1 points=1440x900 pixels=2880x1800 output=1728x1080 "
                   "requested=1920x1080 mirror=false standby=false lidClosed=false systemSharing=false"));
    EXPECT_EQ(capture->capturedDisplay(), kBuiltIn);
}

TEST_F(MacCaptureTest, StartFailsWithTheCaptureError) {
    screen.startResults = {"X11 2：BadAccess"};
    auto result = startCapture();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "X11 2：BadAccess");
}

TEST_F(MacCaptureTest, PassesOnlyCompleteFramesScaledToTheOutput) {
    ASSERT_TRUE(startCapture());
    std::atomic<int> frames{0};
    std::atomic<int> width{0};
    capture->onFrame = [&](CapturedFrame frame) {
        width = frame.pixels->width;
        ++frames;
    };
    auto pool = PixelBufferPool::create(2880, 1800, 16);
    auto stream = screen.latest();
    CaptureSample invalid = sampleOf(pool->acquire(), FrameStatus::complete);
    invalid.valid = false;
    CaptureSample notReady = sampleOf(pool->acquire(), FrameStatus::complete);
    notReady.dataReady = false;
    CaptureSample audio = sampleOf(pool->acquire(), FrameStatus::complete);
    audio.screenOutput = false;
    for (auto sample : {sampleOf(pool->acquire(), std::nullopt), sampleOf(pool->acquire(), FrameStatus::idle),
                        sampleOf(pool->acquire(), FrameStatus::blank),
                        sampleOf(nullptr, FrameStatus::complete), invalid, notReady, audio})
        stream->deliver(sample);
    stream->deliver(sampleOf(pool->acquire(), FrameStatus::complete));
    EXPECT_TRUE(waitFor([&] { return frames.load() == 1; }));
    loop.runFor(Millis(20));
    EXPECT_EQ(frames.load(), 1);
    EXPECT_EQ(width.load(), 1728);
}

TEST_F(MacCaptureTest, EightFailedAttemptsEndCaptureOnce) {
    ASSERT_TRUE(startCapture());
    size_t streamsBefore = screen.streams.size();
    for (int i = 0; i < 20; ++i)
        screen.startResults.push_back("X11 2：BadAccess");
    screen.latest()->failFromSystem("server reset");
    EXPECT_TRUE(loop.runUntil([&] { return !failures.empty(); }, kGenerous));
    loop.runFor(Millis(50));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "找不到可共享的显示器，屏幕共享已停止（X11 2：BadAccess）。");
    EXPECT_EQ(20 - screen.startResults.size(), 8u) << "eight attempts";
    EXPECT_EQ(screen.streams.size(), streamsBefore);
    EXPECT_TRUE(loggedLine("采集流已停止：server reset"));
}

TEST_F(MacCaptureTest, WhileLockedRetriesForeverWithWaitingTexts) {
    ASSERT_TRUE(startCapture());
    capture->setLocked(true);
    EXPECT_EQ(lockChanges, std::vector<bool>{true});
    for (int i = 0; i < 40; ++i)
        screen.startResults.push_back("X11 2：BadAccess");
    screen.latest()->failFromSystem("locked");
    EXPECT_TRUE(loop.runUntil([&] { return waiting.size() >= 20; }, kGenerous));
    EXPECT_TRUE(failures.empty());
    for (const auto& text : waiting)
        EXPECT_EQ(text, std::optional<std::string>("X11 2：BadAccess"));

    screen.startResults.clear();
    capture->setLocked(false);
    EXPECT_TRUE(loop.runUntil([&] { return !displayNames.empty(); }, kGenerous));
    EXPECT_EQ(displayNames.back(), "内建显示器");
    EXPECT_EQ(waiting.back(), std::nullopt);
    EXPECT_EQ(lockChanges, (std::vector<bool>{true, false}));
    EXPECT_TRUE(failures.empty());
}

TEST_F(MacCaptureTest, LockEventsChangeStateOnce) {
    ASSERT_TRUE(startCapture());
    session.send(SessionEvent::screenLocked);
    session.send(SessionEvent::screenLocked);
    EXPECT_TRUE(loop.runUntil([&] { return capture->isLocked(); }, kGenerous));
    loop.runFor(Millis(10));
    EXPECT_EQ(lockChanges, std::vector<bool>{true});
    session.send(SessionEvent::screenUnlocked);
    EXPECT_TRUE(loop.runUntil([&] { return !capture->isLocked(); }, kGenerous));
    EXPECT_EQ(lockChanges, (std::vector<bool>{true, false}));
}

TEST_F(MacCaptureTest, FollowsANewMainDisplay) {
    ASSERT_TRUE(startCapture());
    addRealDisplay(kExternal, "DELL U2720Q", {2560, 1440, 2560, 1440});
    displays.setMain(kExternal);
    displays.announceChange();
    EXPECT_TRUE(loop.runUntil([&] { return !displayNames.empty(); }, kGenerous));
    EXPECT_EQ(displayNames.back(), "DELL U2720Q");
    EXPECT_EQ(screen.latest()->display, kExternal);
    EXPECT_EQ(screen.latest()->config.width, 1920);
    EXPECT_TRUE(screen.streams.front()->stopped) << "the previous stream ends";
}

TEST_F(MacCaptureTest, WithoutARealDisplayCapturesAVirtualOne) {
    removeDisplay(kBuiltIn);
    displays.setMain(0);
    ASSERT_TRUE(startCapture());
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_EQ(launched[0], MacViewport{});
    EXPECT_EQ(virtualChanges, std::vector<bool>{true});
    EXPECT_EQ(capture->capturedDisplay(), kFirstVirtual + 1);
    EXPECT_TRUE(loggedLine("虚拟屏 1920x1080 id=901"));
}

TEST_F(MacCaptureTest, AFailedVirtualDisplayBlocksNewOnesForThirtySeconds) {
    removeDisplay(kBuiltIn);
    displays.setMain(0);
    failVirtualDisplays = true;
    auto result = startCapture();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "找不到主显示器");
    EXPECT_TRUE(loggedLine("虚拟屏创建失败"));
    EXPECT_TRUE(loggedLine("没有可录的显示器 main=0 target=0 virtual=0"));
    EXPECT_EQ(launched.size(), 1u);

    now += Millis(29000);
    EXPECT_FALSE(startAgain());
    EXPECT_EQ(launched.size(), 1u) << "still blocked";
    now += Millis(2000);
    failVirtualDisplays = false;
    EXPECT_TRUE(startAgain());
    EXPECT_EQ(launched.size(), 2u);
}

TEST_F(MacCaptureTest, ControllerViewportWithoutMirroringStaysOnTheRealDisplay) {
    ASSERT_TRUE(startCapture());
    displays.setMirrorResult(1000); // no display mirroring on this platform
    capture->viewport().original = capture->viewport().current;
    capture->viewport().current = {1298, 600, true, true};
    capture->applyViewport();
    EXPECT_TRUE(loop.runUntil([&] { return !displayNames.empty(); }, kGenerous));
    EXPECT_TRUE(loggedLine("手机专用分辨率 1298x600@2x（手机专用）"));
    EXPECT_TRUE(loggedLine("手机专用分辨率 1298x600@2x（手机专用）：显示器 1 镜像 901 result=1000"));
    EXPECT_TRUE(loggedLine("虚拟屏创建失败"));
    EXPECT_FALSE(capture->usesVirtualDisplay());
    EXPECT_EQ(capture->capturedDisplay(), kBuiltIn);
    EXPECT_TRUE(virtualChanges.empty());
}

TEST_F(MacCaptureTest, WithoutMirroringAControllerResolutionIsTheRealDisplaysOwnMode) {
    displays.setCanMirror(false);
    const DisplayMode user = *displays.currentMode(kBuiltIn);
    auto timings = fastTimings();
    timings.displayCheckPeriod = Millis(5);
    ASSERT_TRUE(startCapture(timings));
    capture->viewport().original = capture->viewport().current;
    capture->viewport().current = {1298, 600, true, true};
    capture->applyViewport();
    EXPECT_TRUE(loop.runUntil([&] { return displays.currentMode(kBuiltIn)->pixelWidth == 2596; }, kGenerous));
    EXPECT_EQ(displays.currentMode(kBuiltIn), (DisplayMode{1298, 600, 2596, 1200}));
    EXPECT_TRUE(loggedLine("手机专用分辨率 1298x600@2x（手机专用）：显示器 1 切换分辨率"));

    // The periodic check finds nothing to change: no virtual display, no mirroring, no restarts.
    size_t restarts = displayNames.size();
    loop.runUntil([] { return false; }, Millis(100));
    EXPECT_TRUE(launched.empty());
    EXPECT_TRUE(displays.mirrorRequests.empty());
    EXPECT_EQ(capture->capturedDisplay(), kBuiltIn);
    EXPECT_LE(displayNames.size(), restarts + 1) << "at most the restart the mode change caused";

    // The viewer leaves: the user's very mode comes back.
    capture->viewerLeft();
    EXPECT_TRUE(loop.runUntil([&] { return displays.currentMode(kBuiltIn) == user; }, kGenerous));
    EXPECT_TRUE(loggedLine("恢复显示器 1 的分辨率 result=0"));

    // Stopping in a controller's resolution gives the user's mode back as well.
    capture->viewport().current = {1000, 600, false, true};
    capture->applyViewport();
    EXPECT_TRUE(loop.runUntil([&] { return displays.currentMode(kBuiltIn)->pixelWidth == 1000; }, kGenerous));
    bool stopped = false;
    capture->stop([&] { stopped = true; });
    EXPECT_TRUE(loop.runUntil([&] { return stopped; }, kGenerous));
    EXPECT_EQ(displays.currentMode(kBuiltIn), user);
    capture.reset();
}

TEST_F(MacCaptureTest, AScreenThatCannotChangeModesIsReportedOnceAndKept) {
    displays.setCanMirror(false);
    displays.setModeResult(1000);
    ASSERT_TRUE(startCapture());
    for (MacViewport viewport : {MacViewport{1298, 600, true, true}, MacViewport{1000, 600, false, true}}) {
        capture->viewport().current = viewport;
        size_t before = displayNames.size();
        capture->applyViewport();
        EXPECT_TRUE(loop.runUntil([&] { return displayNames.size() > before; }, kGenerous));
    }
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](auto& line) { return line.find("无法切换到") != std::string::npos; }),
              1);
    EXPECT_TRUE(loggedLine("显示器 1 无法切换到 1298x600@2x（手机专用），保持当前分辨率 result=1000"));
    EXPECT_TRUE(launched.empty());
    EXPECT_EQ(capture->capturedDisplay(), kBuiltIn);
    EXPECT_EQ(displays.currentMode(kBuiltIn), (DisplayMode{1440, 900, 2880, 1800}));
}

TEST_F(MacCaptureTest, ControllerViewportMirrorsTheRealDisplayAndFollowsChanges) {
    ASSERT_TRUE(startCapture());
    capture->viewport().original = capture->viewport().current;
    capture->viewport().current = {1298, 600, true, true};
    capture->applyViewport();
    EXPECT_TRUE(loop.runUntil([&] { return capture->capturedDisplay() == kFirstVirtual + 1; }, kGenerous));
    EXPECT_EQ(virtualChanges, std::vector<bool>{true});
    EXPECT_EQ(screen.latest()->config.width, 1920) << "2596 × 1200 pixels at sharp";

    // Two quick changes: only the last one is made, after the settling delay.
    capture->viewport().current = {1000, 600, false, true};
    capture->applyViewport();
    capture->viewport().current = {1100, 600, false, true};
    capture->applyViewport();
    EXPECT_TRUE(loop.runUntil([&] { return capture->capturedDisplay() == kFirstVirtual + 2; }, kGenerous));
    ASSERT_EQ(launched.size(), 2u);
    EXPECT_EQ(launched[1], (MacViewport{1100, 600, false, true}));
    EXPECT_TRUE(loggedLine("虚拟屏改为 1000x600（手机专用）"));
    EXPECT_EQ(displays.mirrorRequests.back(), std::make_pair(kBuiltIn, kFirstVirtual + 2));

    // The viewer leaves: back to the baseline, the virtual display goes and the mirror is undone.
    displays.find(kBuiltIn)->mirrors = kFirstVirtual + 2;
    capture->viewerLeft();
    EXPECT_TRUE(loggedLine("控制端离开：恢复虚拟屏基准 1920x1080"));
    EXPECT_TRUE(loop.runUntil([&] { return capture->capturedDisplay() == kBuiltIn; }, kGenerous));
    EXPECT_FALSE(capture->usesVirtualDisplay());
    EXPECT_EQ(virtualChanges, (std::vector<bool>{true, false}));
    EXPECT_TRUE(loggedLine("解除 Quorlinth 建立的镜像：显示器 1 镜像 0 result=0"));
}

TEST_F(MacCaptureTest, StopReleasesTheVirtualDisplayAndReportsOneStillOnline) {
    removeDisplay(kBuiltIn);
    displays.setMain(0);
    ASSERT_TRUE(startCapture());
    auto stream = screen.latest();
    bool stopped = false;
    capture->stop([&] { stopped = true; });
    EXPECT_TRUE(loop.runUntil([&] { return stopped; }, kGenerous));
    EXPECT_TRUE(stream->stopped);
    EXPECT_EQ(virtualChanges, (std::vector<bool>{true, false}));
    // The fake display never goes offline by itself.
    EXPECT_TRUE(loggedLine("停止共享：Quorlinth 虚拟屏 901 仍在线或辅助进程尚未退出，当前主屏 0"));
    capture->stop(); // idempotent
}

TEST_F(MacCaptureTest, ViewerLeavingWithoutAChangeDoesNothing) {
    ASSERT_TRUE(startCapture());
    capture->viewerLeft();
    loop.runFor(Millis(20));
    EXPECT_FALSE(loggedLine("控制端离开"));
    EXPECT_EQ(screen.streams.size(), 1u);
}

TEST_F(MacCaptureTest, LidClosedKeepsTheBuiltInDisplayOutWhileSystemSharingIsActive) {
    addRealDisplay(kExternal, "DELL U2720Q", {2560, 1440, 2560, 1440});
    session.lid = true;
    session.systemSharing = true;
    ASSERT_TRUE(startCapture());
    EXPECT_EQ(capture->capturedDisplay(), kExternal);
    EXPECT_TRUE(loggedLine("系统屏幕共享已连接，等待可采集显示器交接"));
}

TEST_F(MacCaptureTest, DisplayWithoutModeUsesTheModeOfItsMirror) {
    displays.find(kBuiltIn)->mode.reset();
    displays.add({kExternal,
                  "mirror",
                  DisplayMode{1280, 800, 2560, 1600},
                  {1280, 800, 1280, 800},
                  false,
                  true,
                  false,
                  false,
                  kBuiltIn});
    ASSERT_TRUE(startCapture());
    EXPECT_TRUE(
        loggedLine("采集显示器 id=1 target=1 main=1 points=1440x900 pixels=2560x1600 output=1728x1080"));
}

TEST_F(MacCaptureTest, RoutesViewportRequestsIntoTheSession) {
    ASSERT_TRUE(startCapture());
    const std::string phone = R"({"type":"viewport","width":2532,"height":1170,"scale":3,"fit":true})";
    const std::string tablet = R"({"type":"viewport","width":2732,"height":2048,"scale":2,"fit":true})";

    EXPECT_EQ(routeViewportRequest(R"({"type":"mouse","x":1,"y":2})", capture.get()),
              ViewportRouting::notViewport);
    EXPECT_EQ(routeViewportRequest(phone, nullptr), ViewportRouting::ignored) << "no capture running";

    EXPECT_EQ(routeViewportRequest(phone, capture.get()), ViewportRouting::applied);
    EXPECT_EQ(capture->viewport().current, (MacViewport{1298, 600, true, true}));
    EXPECT_EQ(capture->viewport().original, MacViewport{});
    EXPECT_EQ(routeViewportRequest(phone, capture.get()), ViewportRouting::ignored) << "already in force";

    EXPECT_EQ(routeViewportRequest(tablet, capture.get()), ViewportRouting::applied);
    EXPECT_EQ(capture->viewport().original, MacViewport{}) << "the first baseline is kept";
}
