#pragma once

#include "platform/Displays.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace quorlinth {

// Display services over a table of displays that a test edits; records mirror requests.
class FakeDisplayServices : public DisplayServices {
public:
    struct Display {
        DisplayID id = 0;
        std::string name;
        std::optional<DisplayMode> mode; // current mode; nullopt for a display without one
        DisplayMode bounds;
        bool active = true;
        bool online = true;
        bool asleep = false;
        bool builtin = false;
        DisplayID mirrors = 0;
    };

    void add(Display display);
    void remove(DisplayID id);
    Display* find(DisplayID id);
    void setMain(DisplayID id) { main = id; }
    // The code configureMirror answers; 0 lets mirroring succeed.
    void setMirrorResult(int code) { mirrorResult = code; }
    // Whether the services claim mirroring at all, and the code applyMode answers.
    void setCanMirror(bool can) { mirroringAvailable = can; }
    void setModeResult(int code) { modeResult = code; }
    // Reports a change to every observer.
    void announceChange();

    std::vector<std::pair<DisplayID, DisplayID>> mirrorRequests; // (display, master)
    std::vector<std::pair<DisplayID, DisplayMode>> appliedModes;

    DisplayID mainDisplay() override { return main; }
    std::vector<DisplayID> activeDisplays() override;
    std::vector<DisplayID> onlineDisplays() override;
    bool isOnline(DisplayID display) override;
    bool isAsleep(DisplayID display) override;
    bool isBuiltin(DisplayID display) override;
    std::optional<DisplayMode> bounds(DisplayID display) override;
    std::optional<DisplayMode> currentMode(DisplayID display) override;
    std::vector<DisplayMode> allModes(DisplayID display) override;
    int applyMode(DisplayID display, const DisplayMode& mode) override;
    DisplayID mirrorsDisplay(DisplayID display) override;
    int configureMirror(DisplayID display, DisplayID master) override;
    bool canMirror() override { return mirroringAvailable; }
    std::string localizedName(DisplayID display) override;
    std::unique_ptr<Observation> observeChanges(std::function<void()> changed) override;

private:
    std::vector<Display> displays;
    DisplayID main = 0;
    int mirrorResult = 0;
    bool mirroringAvailable = true;
    int modeResult = 0;
    std::shared_ptr<std::vector<std::function<void()>*>> observers =
        std::make_shared<std::vector<std::function<void()>*>>();
};

} // namespace quorlinth
