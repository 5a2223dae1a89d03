#pragma once

#include "app/cli/CliCommand.h"

#include <vector>

namespace quorlinth::cli {

// share (the sharing model without a window) and settings (its persisted choices).
std::vector<CliCommand> shareCommands();

} // namespace quorlinth::cli
