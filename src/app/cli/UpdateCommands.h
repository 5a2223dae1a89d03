#pragma once

#include "app/cli/CliCommand.h"

namespace quorlinth::cli {

// update (check, download, verify, install) and upload-log.
void addUpdateCommands(CLI::App& app, const CliOptions& options, int& exitCode);

} // namespace quorlinth::cli
