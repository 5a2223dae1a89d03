#include "account/MacCredentials.h"

#include "account/MacServiceConfig.h"
#include "account/SavedAccountOrder.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

MacCredentials credentials(std::string base, std::string username) {
    std::string deviceID = "D-" + username;
    return {std::move(base), std::move(username), "acct", 1'700'000'000, deviceID, "dev"};
}

} // namespace

TEST(MacCredentials, EncodesWithTheStoredKeysAndDecodesStrictly) {
    MacCredentials original = credentials("https://a.example", "alice");
    Json encoded = original.toJson();
    EXPECT_EQ(encoded, Json::parse(R"({"base":"https://a.example","username":"alice","accountToken":"acct",
        "expiresAt":1700000000,"deviceID":"D-alice","deviceToken":"dev"})"));
    EXPECT_EQ(MacCredentials::fromJson(encoded), original);

    for (const char* key : {"base", "username", "accountToken", "expiresAt", "deviceID", "deviceToken"}) {
        SCOPED_TRACE(key);
        Json missing = encoded;
        missing.erase(key);
        EXPECT_FALSE(MacCredentials::fromJson(missing).has_value());
        Json wrong = encoded;
        wrong[key] = Json::array();
        EXPECT_FALSE(MacCredentials::fromJson(wrong).has_value());
    }
    Json fractional = encoded;
    fractional["expiresAt"] = 1.5;
    EXPECT_FALSE(MacCredentials::fromJson(fractional).has_value());
}

TEST(AccountSessions, RoundTripsAndOmitsAnAbsentActiveKey) {
    MacCredentials alice = credentials("https://a.example", "alice");
    AccountSessions sessions{accountKey(alice), {{accountKey(alice), alice}}};
    EXPECT_EQ(accountKey(alice), "https://a.example|alice");
    EXPECT_EQ(AccountSessions::decodeStored(sessions.toJson().dump()), sessions);

    AccountSessions inactive{std::nullopt, sessions.sessions};
    EXPECT_FALSE(inactive.toJson().contains("activeKey"));
    EXPECT_EQ(AccountSessions::decodeStored(inactive.toJson().dump()), inactive);
}

TEST(AccountSessions, MigratesASingleStoredRecordToTheActiveSession) {
    MacCredentials alice = credentials("https://a.example", "alice");
    auto migrated = AccountSessions::decodeStored(alice.toJson().dump());
    ASSERT_TRUE(migrated.has_value());
    EXPECT_EQ(migrated->activeKey, "https://a.example|alice");
    EXPECT_EQ(migrated->sessions.size(), 1u);
    EXPECT_EQ(migrated->sessions.at("https://a.example|alice"), alice);
}

TEST(AccountSessions, ReadsUnusableDataAsNothingStored) {
    for (const char* text : {"", "not json", "[]", "{}", R"({"sessions":[]})", R"({"base":"x"})"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(AccountSessions::decodeStored(text).has_value());
    }
}

TEST(AccountSessions, KeepsTheGoodRecordsWhenOneIsDamaged) {
    MacCredentials alice = credentials("https://a.example", "alice");
    Json stored{
        {"activeKey", accountKey(alice)},
        {"sessions", {{accountKey(alice), alice.toJson()}, {"https://a.example|bob", {{"base", 1}}}}}};
    auto decoded = AccountSessions::decodeStored(stored.dump());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->sessions.size(), 1u);
    EXPECT_EQ(decoded->activeKey, accountKey(alice));
}

TEST(SavedAccountChoices, ListsThisServiceSortedByName) {
    MacServiceConfig config;
    config.accountBaseURL = "https://account.example";
    config.apiBaseURL = "https://api.example";
    AccountSessions sessions;
    for (auto record :
         {credentials("https://account.example", "user10"), credentials("https://api.example", "user2"),
          credentials("https://account.example", "User3"), credentials("https://elsewhere.example", "user1")})
        sessions.sessions[accountKey(record)] = record;

    auto choices = savedAccountChoices(sessions, config);
    std::vector<std::string> names;
    for (const auto& choice : choices)
        names.push_back(choice.username);
    EXPECT_EQ(names, (std::vector<std::string>{"user2", "User3", "user10"}));
    EXPECT_EQ(choices[0].id, "https://api.example|user2");
}

TEST(SavedAccountOrder, ComparesLikeAFileBrowser) {
    struct Case {
        const char* a;
        const char* b;
        bool before;
    };
    const Case cases[] = {
        {"user2", "user10", true}, {"user10", "user2", false}, {"alice", "Bob", true},
        {"Bob", "alice", false},   {"a9", "a010", true},       {"张三", "张三", false},
        {"x", "x1", true},         {"Alice", "alice", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.a << " < " << c.b);
        EXPECT_EQ(usernameOrderedBefore(c.a, c.b), c.before);
    }
}
