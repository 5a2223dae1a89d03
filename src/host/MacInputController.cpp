#include "host/MacInputController.h"

namespace quorlinth {

MacInputController::MacInputController(InputInjector& injector, MacInput& input,
                                       std::shared_ptr<LockedInputFlag> inputFlag, Hooks hooks)
    : injector(injector), input(input), inputFlag(std::move(inputFlag)), hooks(std::move(hooks)) {}

void MacInputController::setAllowInput(bool on) {
    granted = injector.trusted();
    if (!on) {
        permission.pending = false;
        pendingShown = false;
        if (hooks.persistAccess) hooks.persistAccess(false);
        applyAllowInput(false);
        return;
    }
    if (granted) {
        enable();
        return;
    }
    permission.pending = true;
    pendingShown = true;
    if (permission.prompted) {
        status(kStillWaitingStatus);
        return;
    }
    permission.prompted = true;
    injector.requestTrust(); // shows the system prompt where there is one
    status(kPromptedStatus);
}

void MacInputController::refreshInputPermission() {
    granted = injector.trusted();
    if (granted) {
        if (permission.pending) enable();
        return;
    }
    // While the screen is locked the check cannot be trusted, so nothing changes.
    bool locked = hooks.screenLocked && hooks.screenLocked();
    if (allowed && !locked) {
        applyAllowInput(false);
        status(kRevokedStatus);
    }
}

void MacInputController::enable() {
    permission.pending = false;
    pendingShown = false;
    applyAllowInput(true);
    if (hooks.persistAccess) hooks.persistAccess(true);
    status(kEnabledStatus);
}

void MacInputController::applyAllowInput(bool on) {
    allowed = on;
    if (!on) input.releaseAll();
    inputFlag->set(on);
    if (hooks.announceInputReady) hooks.announceInputReady(on);
}

void MacInputController::startPermissionPolling(Dispatcher& mainThread) {
    permissionTask = mainThread.every(kPollInterval, kPollInterval, [this] { refreshInputPermission(); });
}

void MacInputController::status(const std::string& text) {
    if (hooks.onStatus) hooks.onStatus(text);
}

} // namespace quorlinth
