#pragma once

#include "app/cli/CliCommand.h"

#include <vector>

namespace quorlinth::cli {

// connect (headless controller) and pairing (device code).
std::vector<CliCommand> sessionCommands();

} // namespace quorlinth::cli
