#include "Secrets.h"

#include "PasswordHasher.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

namespace quorlinth::service {
namespace {

TEST(PasswordHasher, VerifiesOnlyTheRightPassword) {
    PasswordHasher hasher(1000);
    std::string stored = hasher.hash("correct horse");
    EXPECT_EQ(0u, stored.rfind("pbkdf2-sha256$1000$", 0));
    EXPECT_TRUE(hasher.verify("correct horse", stored));
    EXPECT_FALSE(hasher.verify("correct hors", stored));
    EXPECT_FALSE(hasher.verify("", stored));
    EXPECT_NE(stored, hasher.hash("correct horse")) << "every hash has its own salt";
}

TEST(PasswordHasher, HonoursTheStoredCostAndRejectsDamagedHashes) {
    std::string cheap = PasswordHasher(500).hash("pw");
    EXPECT_TRUE(PasswordHasher(200000).verify("pw", cheap));
    for (const char* damaged :
         {"", "pw", "pbkdf2-sha256$1000$AAAA", "md5$1000$AAAA$AAAA", "pbkdf2-sha256$0$AAAA$AAAA",
          "pbkdf2-sha256$99999999999$AAAA$AAAA", "pbkdf2-sha256$1000$!!$AAAA", "pbkdf2-sha256$1000$AAAA$",
          "pbkdf2-sha256$1x$AAAA$AAAA"}) {
        SCOPED_TRACE(damaged);
        EXPECT_FALSE(PasswordHasher().verify("pw", damaged));
    }
}

TEST(Secrets, TokensAreLongUniqueAndUrlSafe) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string token = newToken("qa_");
        EXPECT_EQ(46u, token.size()); // prefix + 43 characters for 256 bits
        EXPECT_EQ(
            std::string::npos,
            token.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_", 3));
        seen.insert(token);
    }
    EXPECT_EQ(200u, seen.size());
    EXPECT_EQ(64u, secretDigest("x").size());
    EXPECT_NE(secretDigest("x"), secretDigest("y"));
}

TEST(Secrets, DigitCodesHaveTheirLengthAndUseEveryDigit) {
    std::map<char, int> counts;
    for (int i = 0; i < 2000; ++i) {
        std::string code = randomDigits(9, true);
        ASSERT_EQ(9u, code.size());
        ASSERT_NE('0', code[0]);
        for (char c : code) {
            ASSERT_TRUE(c >= '0' && c <= '9');
            ++counts[c];
        }
    }
    EXPECT_EQ(10u, counts.size());
    for (auto [digit, count] : counts)
        EXPECT_GT(count, 1000) << digit; // about 1800 each
    EXPECT_EQ("", randomDigits(0));
}

TEST(Secrets, TurnCredentialMatchesAKnownHmacSha1) {
    // RFC 2202 test case 2.
    EXPECT_EQ("7/zfauXrL6LSdBbV8YTfnCWafHk=", hmacSha1Base64("Jefe", "what do ya want for nothing?"));
    EXPECT_TRUE(constantTimeEqual("abc", "abc"));
    EXPECT_FALSE(constantTimeEqual("abc", "abd"));
    EXPECT_FALSE(constantTimeEqual("abc", "abcd"));
}

} // namespace
} // namespace quorlinth::service
