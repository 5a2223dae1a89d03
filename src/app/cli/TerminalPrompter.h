#pragma once

#include "model/MacPrompter.h"

namespace quorlinth::cli {

// Questions asked at the terminal. Without a terminal nobody can answer: the request is
// refused with a line that says how to let controllers in unattended.
class TerminalPrompter : public MacPrompter {
public:
    explicit TerminalPrompter(bool acceptAll) : acceptAll(acceptAll) {}
    void ask(const MacQuestion& question, std::function<void(bool)> answer) override;

private:
    bool acceptAll;
};

} // namespace quorlinth::cli
