#pragma once

#include "app/cli/CliCommand.h"

#include <vector>

namespace quorlinth::cli {

// share (headless sharing host), connect (headless controller) and pairing (device code).
std::vector<CliCommand> sessionCommands();

} // namespace quorlinth::cli
