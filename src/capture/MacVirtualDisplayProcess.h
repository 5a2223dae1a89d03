#pragma once

#include "base/Scheduler.h"
#include "platform/Displays.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace quorlinth {

// A virtual display kept alive by a child process (this program started again with
// "--virtual-display"). The display goes away when the child exits, which it does as soon as
// its standard input closes, so a parent that dies takes the display with it.
class MacVirtualDisplayProcess {
public:
    struct Launch {
        std::string executable;               // this program
        Millis replyTimeout{8000};            // how long to wait for "ID <n>"
        std::function<void(std::string)> log; // may be empty
    };
    using Completion = std::function<void(std::shared_ptr<MacVirtualDisplayProcess>)>;
    using CancelFlag = std::shared_ptr<std::atomic<bool>>;

    // Starts a child for a display of `width` × `height` points. `done` runs on `replyQueue` with
    // the process, or null on a launch error, "ERR", no id in time, or cancellation.
    static void start(const Launch& launch, int64_t width, int64_t height, bool hiDPI, Dispatcher& replyQueue,
                      Completion done, CancelFlag cancelled = nullptr);

    // 1, 2, 1, ... for successive children of this process, so a replacement display never
    // reuses the serial of the one it replaces.
    static uint32_t nextSerial();

    // A display known by id only, with no child behind it (for platforms and tests that make
    // displays some other way).
    static std::shared_ptr<MacVirtualDisplayProcess> adopt(DisplayID displayID);

    ~MacVirtualDisplayProcess();
    MacVirtualDisplayProcess(const MacVirtualDisplayProcess&) = delete;
    MacVirtualDisplayProcess& operator=(const MacVirtualDisplayProcess&) = delete;

    DisplayID displayID() const { return display; }
    // How long stop() lets the child end by itself before terminating it.
    static constexpr Millis kStopGrace{300};

    // Closes the child's input and terminates it if it has not ended shortly after; only the
    // first call acts.
    void stop();
    // Whether the child has exited (reaping it once it has).
    bool exited();

private:
    MacVirtualDisplayProcess(DisplayID displayID, pid_t process, int input);

    DisplayID display;
    pid_t process;
    int input; // write end of the child's standard input; -1 once closed
    std::mutex stopLock;
    bool stopped = false;
    std::mutex reapLock;
    bool reaped = false;
};

} // namespace quorlinth
