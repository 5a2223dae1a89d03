#include "platform/fake/RecordingInputInjector.h"

namespace quorlinth {

bool RecordingInputInjector::requestTrust() {
    ++trustRequests;
    return isTrusted;
}

bool RecordingInputInjector::showDesktop() {
    desktopActions.push_back(DesktopAction::showDesktop);
    return desktopActionsAvailable;
}

bool RecordingInputInjector::showWindowOverview() {
    desktopActions.push_back(DesktopAction::windowOverview);
    return desktopActionsAvailable;
}

} // namespace quorlinth
