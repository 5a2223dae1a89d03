#pragma once

#include "platform/Displays.h"

#include <functional>
#include <memory>

namespace quorlinth {

enum class SessionEvent {
    screenLocked,
    screenUnlocked,
    screensDidSleep,
    screensDidWake,
    willSleep,
    didWake,
};

// Screen lock, sleep and wake of the desktop session, and the machine's power state.
class SessionMonitor {
public:
    virtual ~SessionMonitor() = default;

    virtual bool lidClosed() = 0;
    // Whether the system's own screen sharing has a remote user connected.
    virtual bool systemScreenSharingActive() = 0;
    // Whether the session is locked right now, when the system knows it.
    virtual bool screenLocked() = 0;
    // Calls `event` (on any thread) for each session event until the observation ends.
    virtual std::unique_ptr<Observation> observe(std::function<void(SessionEvent)> event) = 0;
};

} // namespace quorlinth
