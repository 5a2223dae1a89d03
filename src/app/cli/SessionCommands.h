#pragma once

#include "app/cli/CliCommand.h"

namespace quorlinth::cli {

// connect (headless controller) and pairing (device code).
void addSessionCommands(CLI::App& app, const CliOptions& options, int& exitCode);

} // namespace quorlinth::cli
