// GoogleTest main for tests that do ICE: unless already inside a private network namespace,
// re-runs itself through scripts/netns so no packet can leave the machine.

#include "Netns.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    bool listing = false;
    for (int index = 1; index < argc; ++index)
        listing = listing || std::strcmp(argv[index], "--gtest_list_tests") == 0;
    if (!listing && !std::getenv("QUORLINTH_NETNS"))
        return quorlinth::testing::runInsideNetworkNamespace(argc, argv, QUORLINTH_DEFAULT_SOURCE_DIR);
    // A test may kill a child process; writing to its pipe afterwards must not end the test.
    signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
