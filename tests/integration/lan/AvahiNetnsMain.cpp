// GoogleTest main for the LAN tests that announce and browse services and do ICE: unless
// already inside, re-runs itself through avahi-netns.sh (private network namespace, private
// D-Bus and Avahi daemon), so no packet leaves the machine.

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
    if (!listing && !std::getenv("QUORLINTH_AVAHI_NETNS")) {
        const char* fromEnvironment = std::getenv("QUORLINTH_SOURCE_DIR");
        std::string script = std::string(fromEnvironment ? fromEnvironment : QUORLINTH_DEFAULT_SOURCE_DIR) +
                             "/tests/integration/lan/avahi-netns.sh";
        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0) return 1;
        self[length] = 0;
        std::vector<char*> arguments{script.data(), self};
        for (int index = 1; index < argc; ++index)
            arguments.push_back(argv[index]);
        arguments.push_back(nullptr);
        execv(script.c_str(), arguments.data());
        perror("avahi-netns.sh");
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
