#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth::cli {

// Options that apply to every command, given anywhere on the command line.
struct CliOptions {
    std::optional<std::string> service; // --service BASE: the account service to use
};

// One entry of quorlinth-cli's command table. `run` returns the process exit code.
struct CliCommand {
    // An argument count meaning: the command reads its own options and arguments.
    static constexpr size_t kFlags = static_cast<size_t>(-1);

    std::string name;
    std::string arguments; // shown in the usage text
    std::string summary;
    size_t argumentCount = 0;
    std::function<int(const CliOptions&, const std::vector<std::string>&)> run;
};

} // namespace quorlinth::cli
