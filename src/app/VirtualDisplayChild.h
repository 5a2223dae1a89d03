#pragma once

#include <optional>

namespace quorlinth {

// When the program was started as the virtual-display child ("--virtual-display W H HIDPI
// SERIAL"), runs it and returns its exit status; otherwise returns nothing at once.
std::optional<int> runVirtualDisplayChildIfAsked(int argc, char** argv);

} // namespace quorlinth
