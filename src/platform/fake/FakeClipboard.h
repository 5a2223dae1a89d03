#pragma once

#include "platform/Clipboard.h"

namespace quorlinth {

// A clipboard in memory for unit tests: `copy...` stands for another program copying (the count
// rises); writes are recorded.
class FakeClipboard : public Clipboard {
public:
    struct Contents {
        std::vector<std::filesystem::path> files;
        std::optional<std::vector<uint8_t>> png;
        std::optional<std::string> text;
    };

    int64_t changeCount() override { return count; }
    std::vector<std::filesystem::path> files() override { return current.files; }
    std::optional<std::vector<uint8_t>> png() override { return current.png; }
    std::optional<std::string> text() override { return current.text; }
    void writeText(const std::string& text) override;
    void writePng(const std::vector<uint8_t>& png) override;

    void copy(Contents contents);
    void copyText(const std::string& text) { copy({{}, std::nullopt, text}); }

    int writes = 0;

private:
    int64_t count = 1;
    Contents current;
};

} // namespace quorlinth
