#pragma once

#include "log/MachineFacts.h"

namespace quorlinth {

// Asks the X server on $DISPLAY: reachable means the screen can be captured, the XTEST
// extension means input can be injected, and RandR monitors are the screens. Everything false
// or empty when no server answers.
DisplayFacts queryX11DisplayFacts();

} // namespace quorlinth
