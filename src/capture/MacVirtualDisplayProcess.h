#pragma once

#include "base/Scheduler.h"
#include "platform/Displays.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quorlinth {

class ChildWatch; // the child's pid and whether it has been reaped

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
    // How long a stopped child may take to end by itself before it is terminated, and how
    // long it may then ignore that before it is killed.
    static constexpr Millis kStopGrace{300};
    static constexpr Millis kTerminateGrace{1000};

    // Closes the child's input and, off the caller's thread, terminates it if it has not ended
    // shortly after (killing it if it ignores that) and reaps it; never blocks. Only the first
    // call acts; destroying the object stops it too.
    void stop();
    // Whether the child has exited (reaping it once it has).
    bool exited();

private:
    MacVirtualDisplayProcess(DisplayID displayID, std::shared_ptr<ChildWatch> child, int input);

    DisplayID display;
    std::shared_ptr<ChildWatch> child; // shared with the thread that retires it
    int input;                         // write end of the child's standard input; -1 once closed
    std::mutex stopLock;
    bool stopped = false;
};

} // namespace quorlinth
