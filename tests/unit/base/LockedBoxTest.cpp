#include "base/LockedBox.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace quorlinth;

TEST(LockedBox, StartsAtDefaultsAndKeepsWrites) {
    LockedInputFlag flag;
    EXPECT_FALSE(flag.get());
    flag.set(true);
    EXPECT_TRUE(flag.get());

    LockedRoute route;
    EXPECT_FALSE(route.get().has_value());
    route.set(RTCMediaRoute::relay);
    EXPECT_EQ(route.get(), RTCMediaRoute::relay);
}

TEST(LockedBox, UpdatesFromManyThreadsWithoutLosingAny) {
    InputEpoch epoch;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i)
                epoch.increment();
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(epoch.value(), 40000u);
}

TEST(MediaRoute, TitlesAndDirectness) {
    EXPECT_EQ(routeTitle(RTCMediaRoute::direct), "直连");
    EXPECT_EQ(routeTitle(RTCMediaRoute::relay), "TURN 中转");
    EXPECT_TRUE(isDirect(RTCMediaRoute::direct));
    EXPECT_FALSE(isDirect(RTCMediaRoute::relay));
    EXPECT_FALSE(isDirect(std::nullopt));
}
