#include "app/VirtualDisplayChild.h"

#include "capture/MacVirtualDisplay.h"
#include "platform/linux/XvfbVirtualDisplay.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace quorlinth {

std::optional<int> runVirtualDisplayChildIfAsked(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    if (std::find(arguments.begin(), arguments.end(), "--virtual-display") == arguments.end())
        return std::nullopt;
    auto parsed = parseVirtualDisplayArguments(arguments);
    if (!parsed) {
        std::puts("ERR");
        std::fflush(stdout);
        return 1;
    }
    XvfbVirtualDisplayFactory factory;
    return runVirtualDisplayChild(*parsed, factory, STDIN_FILENO, stdout);
}

} // namespace quorlinth
