#pragma once

#include "model/MacPrompter.h"

namespace quorlinth {

// The access question as a dialog: a sheet on the active window when there is one, otherwise
// an application-modal alert. The application comes to the front first.
class QtPrompter : public MacPrompter {
public:
    void ask(const MacQuestion& question, std::function<void(bool)> answer) override;
};

} // namespace quorlinth
