#include "rtc/RTCSendAccounting.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(RTCSendAccounting, CountsAcceptedBytesNotYetOnTheWire) {
    // A locally opened "transfer" channel: its open request is 12 + 8 bytes of the encoder's count.
    RTCSendAccounting accounting(true, "transfer");
    EXPECT_EQ(accounting.bufferedAmount(0), 0u);
    EXPECT_EQ(accounting.bufferedAmount(20), 0u);
    accounting.accept(60000);
    accounting.accept(60000);
    EXPECT_EQ(accounting.bufferedAmount(20), 120000u);
    EXPECT_EQ(accounting.bufferedAmount(20 + 60000), 60000u);
    EXPECT_EQ(accounting.bufferedAmount(20 + 120000), 0u);
    // Never negative, whatever the encoder reports.
    EXPECT_EQ(accounting.bufferedAmount(1'000'000), 0u);
}

TEST(RTCSendAccounting, TreatsEstablishmentAndEmptyMessagesLikeTheWire) {
    RTCSendAccounting accepted(false, "control"); // answered with a one-byte acknowledgement
    accepted.accept(0);                           // an empty message travels as one byte
    EXPECT_EQ(accepted.bufferedAmount(1), 1u);
    EXPECT_EQ(accepted.bufferedAmount(2), 0u);
    accepted.accept(10);
    accepted.withdraw(10); // refused by the engine after all
    EXPECT_EQ(accepted.bufferedAmount(2), 0u);
}
