// GoogleTest main for tests that do ICE: unless already inside a private network namespace,
// re-runs itself through scripts/netns so no packet can leave the machine.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    bool listing = false;
    for (int index = 1; index < argc; ++index)
        listing = listing || std::strcmp(argv[index], "--gtest_list_tests") == 0;
    if (!listing && !std::getenv("QUORLINTH_NETNS")) {
        const char* sourceDir = std::getenv("QUORLINTH_SOURCE_DIR");
        std::string script =
            std::string(sourceDir ? sourceDir : QUORLINTH_DEFAULT_SOURCE_DIR) + "/scripts/netns";
        std::vector<char*> arguments{script.data()};
#ifdef QUORLINTH_NETNS_VETH
        static char veth[] = "--veth";
        arguments.push_back(veth);
#endif
        static char separator[] = "--";
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
    // A test may kill a child process; writing to its pipe afterwards must not end the test.
    signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
