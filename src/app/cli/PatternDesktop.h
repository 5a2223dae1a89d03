#pragma once

#include "capture/TestPattern.h"
#include "platform/Displays.h"
#include "platform/InputInjector.h"
#include "platform/KeyboardInputSources.h"
#include "platform/ScreenCapture.h"
#include "platform/SessionMonitor.h"

#include <memory>

namespace quorlinth::cli {

// A machine without a display to share: one synthetic screen showing the test pattern, no
// input, no lock. The sharing model runs over it exactly as over a real desktop.
class PatternDesktop : public DisplayServices,
                       public ScreenCaptureService,
                       public SessionMonitor,
                       public InputInjector,
                       public KeyboardInputSources {
public:
    static constexpr DisplayID kDisplay = 1;

    PatternDesktop(int width, int height) : mode{width, height, width, height} {}

    // Displays: the one pattern screen, main and unchanging.
    DisplayID mainDisplay() override { return kDisplay; }
    std::vector<DisplayID> activeDisplays() override { return {kDisplay}; }
    std::vector<DisplayID> onlineDisplays() override { return {kDisplay}; }
    bool isOnline(DisplayID display) override { return display == kDisplay; }
    bool isAsleep(DisplayID) override { return false; }
    bool isBuiltin(DisplayID) override { return false; }
    std::optional<DisplayMode> bounds(DisplayID display) override { return modeOf(display); }
    std::optional<DisplayMode> currentMode(DisplayID display) override { return modeOf(display); }
    std::vector<DisplayMode> allModes(DisplayID display) override { return {mode}; }
    int applyMode(DisplayID, const DisplayMode&) override { return 1; }
    DisplayID mirrorsDisplay(DisplayID) override { return 0; }
    int configureMirror(DisplayID, DisplayID) override { return 1; }
    bool canMirror() override { return false; }
    std::string localizedName(DisplayID) override { return "测试图案"; }
    std::unique_ptr<Observation> observeChanges(std::function<void()>) override;

    // Capture: the pattern at its own frame rate.
    bool preflightPermission() override { return true; }
    Result<std::vector<ShareableDisplay>> shareableDisplays() override;
    Result<std::shared_ptr<CaptureStream>> startStream(DisplayID display, const StreamConfiguration& config,
                                                       Dispatcher& sampleQueue,
                                                       std::function<void(CaptureSample)> onSample,
                                                       std::function<void(std::string)> onStop) override;

    // Session: never locked, no lid.
    bool lidClosed() override { return false; }
    bool systemScreenSharingActive() override { return false; }
    bool screenLocked() override { return false; }
    std::unique_ptr<Observation> observe(std::function<void(SessionEvent)>) override;

    // Input: nowhere to send it.
    bool trusted() const override { return false; }
    bool requestTrust() override { return false; }
    std::optional<MainDisplayBounds> mainDisplayBounds() override { return std::nullopt; }
    void post(const InputEvent&) override {}
    bool showDesktop() override { return false; }
    bool showWindowOverview() override { return false; }
    std::vector<KeyboardInputSource> enabledSources() override { return {}; }
    std::optional<std::string> currentSourceID() override { return std::nullopt; }
    bool select(const std::string&) override { return false; }

private:
    std::optional<DisplayMode> modeOf(DisplayID display) const {
        return display == kDisplay ? std::optional(mode) : std::nullopt;
    }
    DisplayMode mode;
};

} // namespace quorlinth::cli
