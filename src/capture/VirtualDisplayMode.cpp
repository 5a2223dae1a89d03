#include "capture/VirtualDisplayMode.h"

#include <algorithm>
#include <memory>

namespace quorlinth {

namespace {

bool matches(const DisplayMode& mode, const MacViewport& viewport) {
    int64_t pixels = viewport.hiDPI ? viewport.width * 2 : viewport.width;
    return mode.width == viewport.width && mode.height == viewport.height && mode.pixelWidth == pixels;
}

struct ModeSwitch : std::enable_shared_from_this<ModeSwitch> {
    DisplayServices& displays;
    DisplayID display;
    MacViewport viewport;
    std::shared_ptr<Scheduler> queue;
    std::function<void(std::string)> log;
    std::function<void(bool)> done;
    ModeSwitchTimings timings;

    ModeSwitch(DisplayServices& displays, DisplayID display, MacViewport viewport,
               std::shared_ptr<Scheduler> queue, std::function<void(std::string)> log,
               std::function<void(bool)> done, ModeSwitchTimings timings)
        : displays(displays), display(display), viewport(viewport), queue(std::move(queue)),
          log(std::move(log)), done(std::move(done)), timings(timings) {}

    void attempt(int number) {
        auto modes = displays.allModes(display);
        auto wanted =
            std::find_if(modes.begin(), modes.end(), [&](auto& mode) { return matches(mode, viewport); });
        if (wanted != modes.end() && displays.applyMode(display, *wanted) == 0) return done(true);
        if (number < timings.attempts) {
            queue->postAfter(timings.interval,
                             [self = shared_from_this(), number] { self->attempt(number + 1); });
            return;
        }
        if (log) log("虚拟屏未能切换到 " + viewport.text());
        done(false);
    }
};

} // namespace

void switchDisplayMode(DisplayServices& displays, DisplayID display, const MacViewport& viewport,
                       Dispatcher& queue, std::function<void(std::string)> log,
                       std::function<void(bool)> done, ModeSwitchTimings timings) {
    auto current = displays.currentMode(display);
    if (current && matches(*current, viewport)) return done(true);
    std::make_shared<ModeSwitch>(displays, display, viewport, queue.handle(), std::move(log), std::move(done),
                                 timings)
        ->attempt(1);
}

} // namespace quorlinth
