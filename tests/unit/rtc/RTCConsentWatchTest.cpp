#include "rtc/RTCConsentWatch.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using namespace std::chrono_literals;

TEST(RTCConsentWatch, ExpiresOnlyAfterConnectingAndThenSilence) {
    RTCConsentWatch watch(30s);
    RTCConsentWatch::TimePoint start{std::chrono::hours(1)};
    EXPECT_FALSE(watch.expired(start + 1h)); // never connected: silence means nothing
    watch.noteConnected(start);
    EXPECT_FALSE(watch.expired(start + 30s));
    EXPECT_TRUE(watch.expired(start + 31s));
    watch.noteReceived(start + 25s);
    EXPECT_FALSE(watch.expired(start + 50s));
    EXPECT_TRUE(watch.expired(start + 56s));
    // Connecting again (ICE restarts) does not reset the clock.
    watch.noteConnected(start + 100s);
    EXPECT_TRUE(watch.expired(start + 100s));
}
