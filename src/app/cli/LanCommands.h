#pragma once

#include "app/cli/CliCommand.h"

namespace quorlinth::cli {

// lan list: the computers sharing on the local network, found by multicast DNS.
void addLanCommands(CLI::App& app, const CliOptions& options, int& exitCode);

} // namespace quorlinth::cli
