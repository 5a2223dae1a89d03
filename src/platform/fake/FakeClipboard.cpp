#include "platform/fake/FakeClipboard.h"

namespace quorlinth {

void FakeClipboard::writeText(const std::string& text) {
    ++writes;
    copy({{}, std::nullopt, text});
}

void FakeClipboard::writePng(const std::vector<uint8_t>& png) {
    ++writes;
    copy({{}, png, std::nullopt});
}

void FakeClipboard::copy(Contents contents) {
    current = std::move(contents);
    ++count;
}

} // namespace quorlinth
