#pragma once

#include "capture/MacViewport.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

class MacCapture;

// The sharing status texts that capture events produce, as the model shows them.
namespace captureStatus {

std::string displayChanged(const std::string& displayName);
std::string lockChanged(bool locked);
std::string virtualDisplayChanged(bool present);
// The log line written beside virtualDisplayChanged.
std::string virtualDisplayLogLine(bool present);
// The running state: locked (with the system's description of the lock) or normal.
std::string sharingState(bool locked, const std::string& lockDescription);

} // namespace captureStatus

// What became of a control-channel message offered to the viewport routing.
enum class ViewportRouting {
    notViewport, // not a viewport request: it belongs to the input injector
    ignored,     // a viewport request with no capture running, or asking for the viewport in force
    applied,     // the capture moves to the requested viewport
};

// Routes a control message: a viewport request changes the capture's viewport session (the
// viewport in force becomes the one to return to, unless one is already kept) and is applied;
// anything else is left to the input injector. `capture` may be null when no capture runs.
ViewportRouting routeViewportRequest(std::string_view message, MacCapture* capture);

} // namespace quorlinth
