#pragma once

#include "app/cli/CliCommand.h"

#include <vector>

namespace quorlinth::cli {

// login, devices, logout, whoami. State lives under the XDG directories (settings in the
// config home, keys in the data home), so each XDG home is one device.
std::vector<CliCommand> accountCommands();

} // namespace quorlinth::cli
