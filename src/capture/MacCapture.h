#pragma once

#include "base/Result.h"
#include "base/Scheduler.h"
#include "base/SerialQueue.h"
#include "capture/CaptureArrangement.h"
#include "capture/FrameScaler.h"
#include "capture/MacViewport.h"
#include "capture/MacVirtualDisplayProcess.h"
#include "capture/StreamProfile.h"
#include "platform/Displays.h"
#include "platform/ScreenCapture.h"
#include "platform/SessionMonitor.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// A complete captured picture at the stream's output size.
struct CapturedFrame {
    SharedPixels pixels;
    int64_t timestampNs = 0;
};

// Captures one display and hands every complete frame to the share host. Decides which display
// is captured (the main display, or a virtual display of its own when no real display can be
// recorded or a controller asks for its own resolution; where displays cannot mirror, the
// latter is the main display switched to that resolution), follows display changes and the
// screen lock, and restarts the stream with bounded retries. State lives on the main queue;
// frames are handled on "quorlinth.mac.capture".
class MacCapture : public std::enable_shared_from_this<MacCapture> {
public:
    // Starts a virtual display process for a viewport; `done` runs on the main queue with the
    // process or null. The flag, when set, abandons the wait.
    using VirtualDisplayLauncher =
        std::function<void(const MacViewport&, MacVirtualDisplayProcess::CancelFlag,
                           std::function<void(std::shared_ptr<MacVirtualDisplayProcess>)>)>;

    struct Platform {
        DisplayServices& displays;
        ScreenCaptureService& capture;
        SessionMonitor& session;
        VirtualDisplayLauncher launchVirtualDisplay;
        std::function<void(std::string)> log;
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
    };

    struct Timings {
        Millis followFirstWait{800};
        Millis retryUnlocked{1500};
        Millis retryLocked{2000};
        int failuresBeforeGivingUp = 8;
        Millis displayCheckPeriod{3000};
        Millis viewportSettle{350};
        Millis virtualRetryBlock{30000};
        int removalChecks = 20;
        Millis removalCheckInterval{100};
    };

    static constexpr const char* kNoMainDisplay = "找不到主显示器";

    // The launcher the application uses: this program started again as the virtual-display child.
    static VirtualDisplayLauncher childProcessLauncher(MacVirtualDisplayProcess::Launch launch);

    static std::shared_ptr<MacCapture> create(Platform platform, Timings timings);
    static std::shared_ptr<MacCapture> create(Platform platform) {
        return create(std::move(platform), Timings{});
    }
    ~MacCapture();

    // Main queue. Starts the first stream; on success follows the displays until stop().
    void start(std::function<void(Result<void>)> done);
    // Main queue. Tears everything down; `done` runs once a virtual display has gone (or was
    // given up on).
    void stop(std::function<void()> done = {});
    void setLocked(bool locked);
    bool isLocked() const { return locked; }
    void setQuality(MacShareQuality quality) { this->quality = quality; }
    // The frames per second the share host sends: the capture delivers no more than that, so
    // no picture waits for the host's next due time. Applies to the running stream too.
    void setFrameRate(int64_t fps);

    // The controller's viewport; after changing `current`, call applyViewport().
    MacViewportSession& viewport() { return viewportSession; }
    void applyViewport();
    // The viewer has gone: back to the baseline viewport.
    void viewerLeft();

    DisplayID capturedDisplay() const { return displayID; }
    bool usesVirtualDisplay() const { return virtualDisplay != nullptr; }

    std::function<void(CapturedFrame)> onFrame;                // on "quorlinth.mac.capture"
    std::function<void(std::string)> onFailure;                // main queue
    std::function<void(std::string)> onDisplayChange;          // main queue
    std::function<void(std::optional<std::string>)> onWaiting; // main queue
    std::function<void(bool)> onLockChange;                    // main queue
    std::function<void(bool)> onVirtualDisplay;                // main queue

private:
    using Continue = std::function<void()>;
    using AttemptDone = std::function<void(Result<void>)>;
    using Cancelled = std::function<bool()>;

    MacCapture(Platform platform, Timings timings);

    // One start attempt and its steps.
    void startAttempt(Cancelled cancelled, AttemptDone done);
    void chooseAndStart(Cancelled cancelled, bool mayCreateVirtual, AttemptDone done);
    void startStream(DisplayID target, DisplayID chosen, Cancelled cancelled, AttemptDone done);
    std::optional<DisplayMode> pixelMode(DisplayID display);

    // Follow loop.
    void scheduleRestart();
    void followStep(uint64_t generation, int attempt);
    void followFailed(uint64_t generation, int attempt, const std::string& reason);
    bool followCancelled(uint64_t generation) const;

    // Arrangement.
    bool arrangementCheck();
    DisplayID expectedDisplay();
    void arrangeVirtualDisplay(Cancelled cancelled, Continue next);
    std::vector<DisplayID> activeDisplaysExcept(DisplayID except);
    std::vector<DisplayID> capturableDisplays();
    DisplayID firstRealDisplay(const std::vector<DisplayID>& active);
    bool virtualRetryBlocked();
    void virtualCreationFailed();
    void createVirtualDisplay(const MacViewport& viewport, Cancelled cancelled,
                              std::function<void(std::shared_ptr<MacVirtualDisplayProcess>)> done);
    void adoptVirtualDisplay(std::shared_ptr<MacVirtualDisplayProcess> process);
    void releaseVirtualDisplay();
    bool mirror(DisplayID display, DisplayID master, const std::string& prefix);
    // Where displays cannot mirror: a controller's resolution as the real display's mode.
    void showViewportOnRealDisplay(DisplayID real, const MacViewport& viewport);
    void restoreUserMode();
    bool readSystemSharing();

    // Viewport.
    void applyViewportTo(const MacViewport& requested, uint64_t change);

    // Events.
    void installObservers();
    void handleSessionEvent(SessionEvent event);
    void streamStopped(const CaptureStream* stopped, const std::string& reason);
    void handleSample(CaptureSample sample, int outputWidth, int outputHeight);
    void waitForRemoval(DisplayID display, std::shared_ptr<MacVirtualDisplayProcess> process, int check,
                        std::function<void()> done);
    void log(const std::string& line) const;

    Platform platform;
    Timings timings;

    std::shared_ptr<CaptureStream> stream;
    SerialQueue queue{"quorlinth.mac.capture"};
    MacShareQuality quality = MacShareQuality::sharp;
    int64_t frameRate = 30;
    StreamConfiguration streamConfig; // of the running stream
    DisplayID displayID = 0;
    bool running = false;
    bool streamFailed = false;
    std::vector<std::unique_ptr<Observation>> observers;
    Timer restart;
    uint64_t restartGeneration = 0;
    bool locked = false;
    std::shared_ptr<MacVirtualDisplayProcess> virtualDisplay;
    DisplayID mirroredDisplay = 0;
    Clock::time_point virtualRetryAfter = Clock::time_point::min();
    bool following = false;
    Timer displayCheck;
    MacViewportSession viewportSession;
    Timer viewportChange;
    uint64_t viewportGeneration = 0;
    int viewportLaunchesInFlight = 0;
    std::vector<Continue> afterViewportLaunch;
    bool mirroring = false;
    bool standby = false;
    // The mode a real display showed before a controller's resolution replaced it.
    struct ShownMode {
        DisplayID display = 0;
        DisplayMode mode;
    };
    std::optional<ShownMode> userMode;
    bool modeRefusalLogged = false;
    bool screenSharingSeen = false;
    uint64_t lifecycle = 0; // counts stops, so a start that a stop overtook ends quietly
    MacVirtualDisplayProcess::CancelFlag launchCancel = std::make_shared<std::atomic<bool>>(false);
    FrameScaler scaler; // capture queue only
};

} // namespace quorlinth
