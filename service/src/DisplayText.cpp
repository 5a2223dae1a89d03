#include "DisplayText.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace quorlinth::service {

namespace {

bool isHidden(UChar32 c) {
    switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR: // bidi embeddings, overrides and isolates, zero-width characters
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SURROGATE:
        return true;
    default:
        return c < 0 || u_hasBinaryProperty(c, UCHAR_BIDI_CONTROL) ||
               u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
    }
}

} // namespace

std::string displayableName(std::string_view text) {
    std::string out;
    int32_t length = int32_t(text.size());
    for (int32_t i = 0; i < length;) {
        int32_t start = i;
        UChar32 c;
        U8_NEXT(text.data(), i, length, c);
        if (!isHidden(c)) out.append(text.substr(size_t(start), size_t(i - start)));
    }
    size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

bool isDisplayable(std::string_view text) {
    int32_t length = int32_t(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(text.data(), i, length, c);
        if (isHidden(c)) return false;
    }
    return true;
}

} // namespace quorlinth::service
