#include "base/Uuid.h"

#include <gtest/gtest.h>
#include <set>

using namespace quorlinth;

TEST(Uuid, IsCanonicalVersion4InTheRequestedCase) {
    std::string upper = uuidV4();
    std::string lower = uuidV4(LetterCase::lower);
    for (const std::string& id : {upper, lower}) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(isUuid(id));
        EXPECT_EQ(id[14], '4');
        EXPECT_NE(std::string("89abAB").find(id[19]), std::string::npos);
    }
    EXPECT_EQ(upper.find_first_of("abcdef"), std::string::npos);
    EXPECT_EQ(lower.find_first_of("ABCDEF"), std::string::npos);
}

TEST(Uuid, DoesNotRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i)
        seen.insert(uuidV4());
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Uuid, RecognisesOnlyCanonicalText) {
    EXPECT_TRUE(isUuid("123e4567-e89b-12d3-a456-426614174000"));
    for (const char* text : {"", "123e4567e89b12d3a456426614174000", "123e4567-e89b-12d3-a456-42661417400",
                             "123e4567-e89b-12d3-a456-4266141740000", "123e4567-e89b-12d3-a456_426614174000",
                             "g23e4567-e89b-12d3-a456-426614174000"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(isUuid(text));
    }
}
