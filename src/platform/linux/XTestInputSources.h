#pragma once

#include "platform/KeyboardInputSources.h"
#include "platform/linux/XTestDisplay.h"

#include <memory>

namespace quorlinth {

// Keyboard input sources as XKB groups: each enabled layout of the keymap is one source, its id
// the group number, its name the group's name ("English (US)").
class XTestInputSources : public KeyboardInputSources {
public:
    explicit XTestInputSources(std::shared_ptr<XTestDisplay> display) : display(std::move(display)) {}

    std::vector<KeyboardInputSource> enabledSources() override;
    std::optional<std::string> currentSourceID() override;
    bool select(const std::string& id) override;

private:
    std::shared_ptr<XTestDisplay> display;
};

} // namespace quorlinth
