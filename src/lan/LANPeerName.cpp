#include "lan/LANPeerName.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

namespace quorlinth {

namespace {

bool unsafe(UChar32 c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string peerName(const std::string& announced) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(announced);
    icu::UnicodeString safe;
    for (int32_t index = 0; index < text.length();) {
        UChar32 c = text.char32At(index);
        safe.append(unsafe(c) ? UChar32(0xfffd) : c);
        index += U16_LENGTH(c);
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    int32_t end = safe.length();
    if (U_SUCCESS(status)) {
        characters->setText(safe);
        int32_t boundary = characters->first();
        for (size_t count = 0; count < kLANNameCharacters && boundary != icu::BreakIterator::DONE; ++count)
            boundary = characters->next();
        if (boundary != icu::BreakIterator::DONE) end = boundary;
    }
    std::string result;
    safe.tempSubString(0, end).toUTF8String(result);
    return result;
}

} // namespace quorlinth
