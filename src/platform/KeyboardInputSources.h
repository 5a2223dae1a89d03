#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

struct KeyboardInputSource {
    std::string id;            // stable while the source is enabled
    std::string localizedName; // what the user sees
    bool operator==(const KeyboardInputSource&) const = default;
};

// The enabled keyboard layouts and input methods the user can switch between. Main thread only.
class KeyboardInputSources {
public:
    virtual ~KeyboardInputSources() = default;

    // Enabled, selectable keyboard sources in the system's order.
    virtual std::vector<KeyboardInputSource> enabledSources() = 0;
    // The id of the current keyboard source, none when unknown.
    virtual std::optional<std::string> currentSourceID() = 0;
    virtual bool select(const std::string& id) = 0;
};

} // namespace quorlinth
