#include "Netns.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace quorlinth::testing {

int runInsideNetworkNamespace(int argc, char** argv, const char* sourceDir, bool veth) {
    if (std::getenv("QUORLINTH_NETNS")) return 0;
    const char* fromEnvironment = std::getenv("QUORLINTH_SOURCE_DIR");
    std::string script = std::string(fromEnvironment ? fromEnvironment : sourceDir) + "/scripts/netns";
    static char vethFlag[] = "--veth";
    static char separator[] = "--";
    std::vector<char*> arguments{script.data()};
    if (veth) arguments.push_back(vethFlag);
    arguments.push_back(separator);
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    self[length] = 0;
    arguments.push_back(self);
    for (int index = 1; index < argc; ++index)
        arguments.push_back(argv[index]);
    arguments.push_back(nullptr);
    execv(script.c_str(), arguments.data());
    perror("scripts/netns");
    return 1;
}

} // namespace quorlinth::testing
