#pragma once

#include <functional>
#include <string>

namespace quorlinth {

// A yes/no question for the person at this machine: a window's sheet or alert in the
// application, the terminal in the command line.
struct MacQuestion {
    std::string message;
    std::string informative;
    std::string accept; // the first button; the only answer that counts as yes
    std::string reject;
};

// Main thread. `answer` runs once, on the main thread; there is no time-out.
class MacPrompter {
public:
    virtual ~MacPrompter() = default;
    virtual void ask(const MacQuestion& question, std::function<void(bool)> answer) = 0;
};

} // namespace quorlinth
