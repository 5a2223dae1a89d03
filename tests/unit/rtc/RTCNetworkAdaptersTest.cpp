#include "rtc/RTCNetworkAdapters.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(RTCNetworkAdapters, IgnoresVpnAndLoopbackAdaptersOnRequest) {
    const std::vector<RTCNetworkInterface> interfaces = {
        {"lo", "127.0.0.1", true, false},    {"eth0", "192.168.1.20", false, false},
        {"wg0", "10.8.0.2", false, false},   {"tun0", "10.9.0.2", false, true},
        {"ppp0", "100.64.0.1", false, true}, {"wlan0", "2001:db8::5", false, false},
    };
    struct Row {
        bool ignoreVpn, ignoreLoopback;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {true, true, {"192.168.1.20", "2001:db8::5"}},
        {false, true, {"192.168.1.20", "10.8.0.2", "10.9.0.2", "100.64.0.1", "2001:db8::5"}},
        {true, false, {"127.0.0.1", "192.168.1.20", "2001:db8::5"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.ignoreVpn) + std::to_string(row.ignoreLoopback));
        EXPECT_EQ(usableAddresses(interfaces, row.ignoreVpn, row.ignoreLoopback), row.expected);
    }
}
