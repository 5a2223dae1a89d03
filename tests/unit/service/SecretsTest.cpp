#include "Secrets.h"

#include "PasswordHasher.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <openssl/evp.h>
#include <set>
#include <thread>
#include <vector>

namespace quorlinth::service {
namespace {

TEST(PasswordHasher, VerifiesOnlyTheRightPassword) {
    PasswordHasher hasher(PasswordHasher::kDevelopmentCost);
    std::string stored = hasher.hash("correct horse");
    EXPECT_EQ(0u, stored.rfind("$argon2id$v=19$m=1024,t=1,p=1$", 0)) << stored;
    EXPECT_TRUE(hasher.verify("correct horse", stored));
    EXPECT_FALSE(hasher.verify("correct hors", stored));
    EXPECT_FALSE(hasher.verify("", stored));
    EXPECT_FALSE(hasher.check("correct horse", stored).needsRehash);
    EXPECT_NE(stored, hasher.hash("correct horse")) << "every hash has its own salt";
}

// What the service stored before it moved to Argon2id.
std::string pbkdf2Hash(const std::string& password, int iterations) {
    Bytes salt(16, 7), key(32);
    PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt.data(), int(salt.size()), iterations,
                      EVP_sha256(), int(key.size()), key.data());
    return "pbkdf2-sha256$" + std::to_string(iterations) + "$" + base64Encode(salt) + "$" + base64Encode(key);
}

TEST(PasswordHasher, OlderSchemesAndCostsVerifyAndAskForANewHash) {
    PasswordHasher production;
    struct Case {
        const char* name;
        std::string stored;
    } older[] = {
        {"PBKDF2", pbkdf2Hash("pw", 1000)},
        {"development cost", PasswordHasher(PasswordHasher::kDevelopmentCost).hash("pw")},
    };
    for (const Case& c : older) {
        SCOPED_TRACE(c.name);
        auto check = production.check("pw", c.stored);
        EXPECT_TRUE(check.valid);
        EXPECT_TRUE(check.needsRehash);
        EXPECT_FALSE(production.check("wrong", c.stored).valid);
        EXPECT_FALSE(production.check("wrong", c.stored).needsRehash);
    }
    for (const char* damaged :
         {"", "pw", "pbkdf2-sha256$1000$AAAA", "md5$1000$AAAA$AAAA", "pbkdf2-sha256$0$AAAA$AAAA",
          "pbkdf2-sha256$99999999999$AAAA$AAAA", "pbkdf2-sha256$1000$!!$AAAA", "pbkdf2-sha256$1000$AAAA$",
          "pbkdf2-sha256$1x$AAAA$AAAA", "$argon2id$v=19$m=99999999,t=1,p=1$AAAAAAAAAAAAAAAAAAAAAA$AAAA",
          "$argon2id$v=19$m=1024,t=1000,p=1$AAAAAAAAAAAAAAAAAAAAAA$AAAA",
          "$argon2id$v=16$m=1024,t=1,p=1$AA$AA",
          "$argon2i$v=19$m=1024,t=1,p=1$AAAAAAAAAAAAAAAAAAAAAA$AAAA"}) {
        SCOPED_TRACE(damaged);
        EXPECT_FALSE(production.verify("pw", damaged));
    }
}

// Nodes sharing one key file start at the same moment: every one must end up with the same
// whole key, never a half-written file or a refusal because another created it first.
TEST(Secrets, ServerKeyCreatedByManyAtOnceIsOneWholeKey) {
    std::string folder = (std::filesystem::temp_directory_path() / "quorlinth-key-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(folder.data()));
    const std::filesystem::path file = std::filesystem::path(folder) / "shared.key";
    for (int round = 0; round < 20; ++round) {
        std::filesystem::remove(file);
        std::vector<Result<std::string>> keys(4, Error{"not run"});
        std::vector<std::thread> nodes;
        for (auto& key : keys)
            nodes.emplace_back([&] { key = loadOrCreateServerKey(file); });
        for (auto& node : nodes)
            node.join();
        for (auto& key : keys) {
            ASSERT_TRUE(key) << key.error();
            EXPECT_EQ(32u, key.value().size());
            EXPECT_EQ(keys.front().value(), key.value());
        }
        EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                  std::filesystem::status(file).permissions());
    }
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(folder), {})) << "no drafts left behind";

    std::ofstream(file, std::ios::trunc) << "short";
    EXPECT_FALSE(loadOrCreateServerKey(file)) << "a damaged key is refused, not replaced";
    std::filesystem::remove_all(folder);
}

TEST(Secrets, KeyedDigestsDependOnTheKey) {
    EXPECT_EQ(64u, keyedDigest("k1", "13800000000|123456").size());
    EXPECT_NE(keyedDigest("k1", "13800000000|123456"), keyedDigest("k2", "13800000000|123456"));
    EXPECT_NE(keyedDigest("k1", "13800000000|123456"), secretDigest("13800000000|123456"));
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
