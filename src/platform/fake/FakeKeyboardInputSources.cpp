#include "platform/fake/FakeKeyboardInputSources.h"

namespace quorlinth {

bool FakeKeyboardInputSources::select(const std::string& id) {
    ++selections;
    if (!selectable) return false;
    current = id;
    return true;
}

} // namespace quorlinth
