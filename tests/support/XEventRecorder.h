#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using Display = struct _XDisplay;

namespace quorlinth::testing {

// What one X client saw: pointer and key events on its window and, when it stands in for a
// window manager, client messages sent to the root window.
struct RecordedEvent {
    int type = 0; // KeyPress, ButtonPress, MotionNotify, ClientMessage...
    int x = 0;    // root coordinates of pointer and key events
    int y = 0;
    unsigned button = 0;      // ButtonPress / ButtonRelease
    unsigned state = 0;       // modifier and button mask before the event
    unsigned long keysym = 0; // KeyPress / KeyRelease, as XLookupString reads it
    unsigned keycode = 0;
    std::string message; // ClientMessage: the atom's name
    long data = 0;       // ClientMessage: first data item
};

// A full-screen window with keyboard focus on its own connection and thread, recording what
// it receives. With `windowManager` it also claims the root window's redirect and announces
// _NET_SHOWING_DESKTOP support, as a window manager would.
class XEventRecorder {
public:
    XEventRecorder(const std::string& displayName, std::function<void()> onEvent, bool windowManager = false);
    ~XEventRecorder();

    bool ready() const { return running; }
    std::vector<RecordedEvent> events() const;
    // The recorded events of the given types (KeyPress, ButtonRelease...), in order.
    std::vector<RecordedEvent> events(const std::set<int>& types) const;
    void clear();

private:
    void run();
    void record(RecordedEvent event);

    Display* display = nullptr;
    unsigned long window = 0;
    int xkbEventBase = -1;
    std::function<void()> onEvent;
    mutable std::mutex mutex;
    std::vector<RecordedEvent> recorded;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace quorlinth::testing
