#pragma once

#include "platform/InputInjector.h"

#include <vector>

namespace quorlinth {

// Records every posted event; trust, display bounds and desktop actions are set by the test.
class RecordingInputInjector : public InputInjector {
public:
    enum class DesktopAction { showDesktop, windowOverview };

    bool trusted() const override { return isTrusted; }
    bool requestTrust() override;
    std::optional<MainDisplayBounds> mainDisplayBounds() override { return bounds; }
    void post(const InputEvent& event) override { events.push_back(event); }
    bool showDesktop() override;
    bool showWindowOverview() override;

    bool isTrusted = true;
    std::optional<MainDisplayBounds> bounds = MainDisplayBounds{0, 0, 1920, 1080};
    bool desktopActionsAvailable = false;

    std::vector<InputEvent> events;
    std::vector<DesktopAction> desktopActions; // attempted, whether or not available
    int trustRequests = 0;
};

} // namespace quorlinth
