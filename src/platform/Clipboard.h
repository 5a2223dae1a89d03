#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// The desktop's general clipboard with a change counter of our own: every change, whoever made
// it, raises the count, and our own writes raise it before they return. Main thread; never
// blocks on another program (contents are read when they change).
class Clipboard {
public:
    virtual ~Clipboard() = default;

    virtual int64_t changeCount() = 0;
    // Local files copied (file URLs only); empty when none.
    virtual std::vector<std::filesystem::path> files() = 0;
    // The copied image as PNG data.
    virtual std::optional<std::vector<uint8_t>> png() = 0;
    // The copied text (UTF-8).
    virtual std::optional<std::string> text() = 0;

    // Replace the whole contents.
    virtual void writeText(const std::string& text) = 0;
    virtual void writePng(const std::vector<uint8_t>& png) = 0;
};

} // namespace quorlinth
