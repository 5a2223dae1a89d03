#pragma once

#include "app/cli/CliCommand.h"

namespace quorlinth::cli {

// share (the sharing model without a window) and settings (its persisted choices).
void addShareCommands(CLI::App& app, const CliOptions& options, int& exitCode);

} // namespace quorlinth::cli
