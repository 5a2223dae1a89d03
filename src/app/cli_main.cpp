#include "app/VirtualDisplayChild.h"
#include "app/cli/AccountCommands.h"
#include "app/cli/CliCommand.h"
#include "app/cli/SessionCommands.h"
#include "app/cli/ShareCommands.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace quorlinth::cli;

namespace {

std::vector<CliCommand> commandTable() {
    std::vector<CliCommand> commands{
        {"version", "", "print the version", 0,
         [](const CliOptions&, const std::vector<std::string>&) {
             std::printf("quorlinth-cli 0.1.0\n");
             return 0;
         }},
    };
    for (auto& command : accountCommands())
        commands.push_back(std::move(command));
    for (auto& command : shareCommands())
        commands.push_back(std::move(command));
    for (auto& command : sessionCommands())
        commands.push_back(std::move(command));
    return commands;
}

int usage(const std::vector<CliCommand>& commands) {
    std::fprintf(stderr, "usage: quorlinth-cli [--service BASE] COMMAND [ARGS...]\ncommands:\n");
    for (const auto& command : commands) {
        std::string synopsis = command.name + (command.arguments.empty() ? "" : " " + command.arguments);
        std::fprintf(stderr, "  %-28s %s\n", synopsis.c_str(), command.summary.c_str());
    }
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // `share` starts this program again as the child that owns a virtual display.
    if (auto status = quorlinth::runVirtualDisplayChildIfAsked(argc, argv)) return *status;
    auto commands = commandTable();
    CliOptions options;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--service") {
            if (i + 1 >= argc) return usage(commands);
            options.service = argv[++i];
        } else {
            words.push_back(word);
        }
    }
    if (words.empty()) return usage(commands);
    for (const auto& command : commands) {
        if (command.name != words[0]) continue;
        std::vector<std::string> arguments(words.begin() + 1, words.end());
        if (command.argumentCount != CliCommand::kFlags && arguments.size() != command.argumentCount)
            return usage(commands);
        return command.run(options, arguments);
    }
    return usage(commands);
}
