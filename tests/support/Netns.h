#pragma once

namespace quorlinth::testing {

// Runs this program again through scripts/netns (a private network namespace holding only
// loopback, plus a veth pair when asked) with the same arguments. Returns only on failure
// (with 1); inside the namespace (QUORLINTH_NETNS set) it returns 0 at once.
int runInsideNetworkNamespace(int argc, char** argv, const char* sourceDir, bool veth = false);

} // namespace quorlinth::testing
