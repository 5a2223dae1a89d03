#include "crypto/Random.h"

#include <gtest/gtest.h>
#include <set>

using namespace quorlinth;

TEST(RandomBytes, GivesTheRequestedLength) {
    for (size_t count : {0u, 1u, 16u, 32u, 4096u}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(crypto::randomBytes(count).size(), count);
    }
}

TEST(RandomBytes, DrawsDoNotRepeat) {
    std::set<Bytes> draws;
    for (int index = 0; index < 100; ++index)
        draws.insert(crypto::randomBytes(16));
    EXPECT_EQ(draws.size(), 100u);
}
