#pragma once

#include "app/cli/CliCommand.h"

namespace quorlinth::cli {

// login, devices, logout, whoami. State lives under the XDG directories (settings in the
// config home, keys in the data home), so each XDG home is one device.
void addAccountCommands(CLI::App& app, const CliOptions& options, int& exitCode);

} // namespace quorlinth::cli
