#include "model/MacPowerState.h"

namespace quorlinth {

namespace {
const char* text(bool value) {
    return value ? "true" : "false";
}
} // namespace

MacPowerState::MacPowerState(PowerManagement& power, Dispatcher& main,
                             std::function<void(const std::string&)> log)
    : power(power), main(main), log(std::move(log)) {}

MacPowerState::~MacPowerState() {
    remoteActivity.cancel();
    if (awake) power.releaseAssertion(awake);
    if (sleep) power.releaseAssertion(sleep);
}

void MacPowerState::updateAssertions(bool sharing, bool keepAwake, bool viewerConnected) {
    bool wantAwake = sharing && keepAwake;
    if (wantAwake && !awake) {
        awake = power.createAssertion(PowerAssertionType::preventUserIdleDisplaySleep, kAwakeName);
    } else if (!wantAwake && awake) {
        power.releaseAssertion(awake);
        awake = 0;
    }

    bool wantSleep = sharing && (keepAwake || viewerConnected);
    if (wantSleep && !sleep) {
        sleep = power.createAssertion(PowerAssertionType::preventSystemSleep, kSleepName);
        log(std::string("阻止系统睡眠 keepAwake=") + text(keepAwake) + " connected=" + text(viewerConnected));
    } else if (!wantSleep && sleep) {
        power.releaseAssertion(sleep);
        sleep = 0;
        log(std::string("允许系统睡眠 sharing=") + text(sharing) + " keepAwake=" + text(keepAwake) +
            " connected=" + text(viewerConnected));
    }
}

void MacPowerState::updateRemoteActivity(bool viewerConnected) {
    remoteActivity.cancel();
    if (!viewerConnected) return;
    declareRemoteActivity();
    remoteActivity =
        main.every(kRemoteActivityPeriod, kRemoteActivityPeriod, [this] { declareRemoteActivity(); });
}

void MacPowerState::declareConnectionRequest() {
    power.declareUserActivity(UserActivityKind::local, kRequestActivityName, 0);
}

void MacPowerState::declareRemoteActivity() {
    remoteActivityID =
        power.declareUserActivity(UserActivityKind::remote, kRemoteActivityName, remoteActivityID);
}

} // namespace quorlinth
