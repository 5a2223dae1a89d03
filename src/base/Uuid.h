#pragma once

#include "base/Encoding.h"

#include <string>
#include <string_view>

namespace quorlinth {

// A random (version 4) UUID in canonical 8-4-4-4-12 form.
std::string uuidV4(LetterCase letters = LetterCase::upper);

// True for a canonical UUID text of either case.
bool isUuid(std::string_view text);

} // namespace quorlinth
