#pragma once

#include "platform/KeyboardInputSources.h"

namespace quorlinth {

// A list of sources held in memory; selection succeeds unless `selectable` is false.
class FakeKeyboardInputSources : public KeyboardInputSources {
public:
    std::vector<KeyboardInputSource> enabledSources() override { return sources; }
    std::optional<std::string> currentSourceID() override { return current; }
    bool select(const std::string& id) override;

    std::vector<KeyboardInputSource> sources;
    std::optional<std::string> current;
    bool selectable = true;
    int selections = 0;
};

} // namespace quorlinth
