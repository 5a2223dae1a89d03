#pragma once

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace quorlinth::cli {

// Options that apply to every command, given before the command's name.
struct CliOptions {
    std::optional<std::string> service; // --service BASE: the account service to use
};

// Each group of commands adds its subcommands to the program's parser; the callback of the
// command that runs stores its exit code in `exitCode`.
using CommandGroup = void (*)(CLI::App& app, const CliOptions& options, int& exitCode);

} // namespace quorlinth::cli
