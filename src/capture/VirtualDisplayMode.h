#pragma once

#include "base/Scheduler.h"
#include "capture/MacViewport.h"
#include "platform/Displays.h"

#include <functional>
#include <string>

namespace quorlinth {

struct ModeSwitchTimings {
    int attempts = 3;
    Millis interval{250};
};

// Makes a display's current mode match `viewport` (its size in points, twice the width in pixels
// when HiDPI). Runs on `queue`; `done` tells whether the display now shows the viewport. After
// the last failed attempt logs "虚拟屏未能切换到 <viewport>".
void switchDisplayMode(DisplayServices& displays, DisplayID display, const MacViewport& viewport,
                       Dispatcher& queue, std::function<void(std::string)> log,
                       std::function<void(bool)> done, ModeSwitchTimings timings = {});

} // namespace quorlinth
