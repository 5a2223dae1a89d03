#include "account/MacAccount.h"

#include "ScriptedHttpServer.h"
#include "base/MainQueue.h"
#include "base/Uuid.h"
#include "store/KeyStore.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ScriptedHttpServer;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kNow = 1'700'000'000;

// A key store that refuses every write, as a locked keyring would.
class RefusingKeyStore : public KeyStore {
public:
    std::optional<Bytes> read(const std::string&, const std::string&) override { return std::nullopt; }
    Result<void> write(const std::string&, const std::string&, const Bytes&) override {
        return Error{"locked"};
    }
    Result<void> remove(const std::string&, const std::string&) override { return {}; }
};

// The account on a run loop, with a scripted service, a key store in a temporary folder and a
// clock the test sets.
class AccountHarness {
public:
    AccountHarness() : folder(quorlinth::testing::makeTemporaryFolder("quorlinth-account-")) {
        keys = std::make_shared<FileKeyStore>(folder / "keys.json");
    }
    ~AccountHarness() { std::filesystem::remove_all(folder); }

    MacServiceConfig config() const { return MacServiceConfig::single(server.baseURL()); }

    std::shared_ptr<MacAccount> makeAccount(std::optional<MacServiceConfig> service = std::nullopt,
                                            std::shared_ptr<KeyStore> store = nullptr) {
        return MacAccount::create(store ? store : keys,
                                  {service.value_or(config()), [this] { return clock; }, "测试机"}, loop);
    }

    void storeSessions(const Json& value) {
        ASSERT_TRUE(
            keys->write(MacAccount::kKeyStoreService, MacAccount::kSessionItem, toBytes(value.dump())).ok());
    }

    MacCredentials credentials(int64_t expiresIn, std::string base = {}) const {
        return {base.empty() ? server.baseURL() : base, "alice", "acct", clock + expiresIn, "D1", "dev"};
    }

    void signIn(const MacCredentials& credentials) {
        storeSessions(
            AccountSessions{accountKey(credentials), {{accountKey(credentials), credentials}}}.toJson());
    }

    template <class T> MacResult<T> wait(const std::function<void(MacAccount::Done<T>)>& start) {
        std::optional<MacResult<T>> outcome;
        start([&](MacResult<T> result) { outcome = std::move(result); });
        EXPECT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 30s));
        if (!outcome) return MacFailure::message("no answer");
        return *outcome;
    }

    void waitPlain(const std::function<void(std::function<void()>)>& start) {
        bool finished = false;
        start([&] { finished = true; });
        EXPECT_TRUE(loop.runUntil([&] { return finished; }, 30s));
    }

    // A base where nothing listens.
    static std::string closedBase() {
        ScriptedHttpServer probe;
        return probe.baseURL();
    }

    RunLoop loop;
    std::filesystem::path folder;
    std::shared_ptr<FileKeyStore> keys;
    int64_t clock = kNow;
    ScriptedHttpServer server;
};

std::string ok(const Json& body) {
    return ScriptedHttpServer::response(200, body.dump());
}

Json deviceEntry(const std::string& id, std::optional<bool> listed = std::nullopt) {
    Json entry{{"id", id},
               {"name", "机器 " + id},
               {"platform", "macos"},
               {"online", true},
               {"capabilities", {{"capture_ready", true}, {"input_ready", true}, {"webrtc", true}}}};
    if (listed) entry["listed"] = *listed;
    return entry;
}

std::vector<std::string> ids(const std::vector<MacDevice>& devices) {
    std::vector<std::string> out;
    for (const auto& device : devices)
        out.push_back(device.id);
    return out;
}

} // namespace

TEST(MacAccount, LoadsTheStoredActiveSessionOfThisService) {
    AccountHarness harness;
    MacCredentials alice = harness.credentials(86400);
    MacCredentials foreign = alice;
    foreign.base = "https://elsewhere.example";
    foreign.username = "zed";
    MacCredentials bob = alice;
    bob.username = "bob";
    struct Case {
        const char* name;
        Json stored;
        std::optional<MacCredentials> active;
        std::vector<std::string> listed;
    };
    const Case cases[] = {
        {"nothing stored", Json(), std::nullopt, {}},
        {"single record of the earlier format", alice.toJson(), alice, {"alice"}},
        {"active session among others",
         AccountSessions{accountKey(bob), {{accountKey(alice), alice}, {accountKey(bob), bob}}}.toJson(),
         bob,
         {"alice", "bob"}},
        {"no active key",
         AccountSessions{std::nullopt, {{accountKey(alice), alice}}}.toJson(),
         std::nullopt,
         {"alice"}},
        {"active session of another service",
         AccountSessions{accountKey(foreign), {{accountKey(foreign), foreign}}}.toJson(),
         std::nullopt,
         {}},
        {"damaged item", Json("garbage"), std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(harness.keys->remove(MacAccount::kKeyStoreService, MacAccount::kSessionItem).ok());
        if (!c.stored.is_null()) harness.storeSessions(c.stored);
        auto account = harness.makeAccount();
        EXPECT_EQ(account->credentials(), c.active);
        std::vector<std::string> names;
        for (const auto& choice : account->savedAccounts())
            names.push_back(choice.username);
        EXPECT_EQ(names, c.listed);
        EXPECT_TRUE(account->devices().empty());
    }
}

TEST(MacAccount, RenewsCredentialsOnlyWithinTheLastHour) {
    struct Case {
        int64_t expiresIn;
        bool renews;
    };
    for (const auto& c : {Case{3600, false}, Case{3599, true}}) {
        SCOPED_TRACE(c.expiresIn);
        AccountHarness harness;
        harness.signIn(harness.credentials(c.expiresIn));
        harness.server.respond(ok({{"access_token", "fresh"}, {"expires_at", kNow + 86400}}));
        auto account = harness.makeAccount();
        auto result = harness.wait<MacCredentials>([&](auto done) { account->validCredentials(done); });
        ASSERT_TRUE(result.ok()) << result.failure().localizedDescription();
        EXPECT_EQ(result.value().accountToken, c.renews ? "fresh" : "acct");
        EXPECT_EQ(result.value().expiresAt, c.renews ? kNow + 86400 : kNow + c.expiresIn);
        auto seen = harness.server.requests();
        ASSERT_EQ(seen.size(), c.renews ? 1u : 0u);
        if (c.renews) {
            EXPECT_EQ(seen[0].method, "POST");
            EXPECT_EQ(seen[0].target, "/v1/devices/D1/renew");
            EXPECT_EQ(seen[0].headers["authorization"], "Bearer dev");
            EXPECT_EQ(seen[0].body, "{}");
            // The renewed token is stored for the next start.
            EXPECT_EQ(harness.makeAccount()->credentials()->accountToken, "fresh");
        }
    }
}

TEST(MacAccount, UsesTheOldTokenWhenRenewalFailsBeforeExpiry) {
    struct Case {
        int64_t expiresIn;
        bool usable;
    };
    for (const auto& c : {Case{600, true}, Case{0, false}, Case{-60, false}}) {
        SCOPED_TRACE(c.expiresIn);
        AccountHarness harness;
        std::string down = AccountHarness::closedBase();
        harness.signIn(harness.credentials(c.expiresIn, down));
        auto account = harness.makeAccount(MacServiceConfig::single(down));
        auto result = harness.wait<MacCredentials>([&](auto done) { account->validCredentials(done); });
        EXPECT_EQ(result.ok(), c.usable);
        if (result)
            EXPECT_EQ(result.value().accountToken, "acct");
        else
            EXPECT_EQ(result.failure().kind(), MacFailure::Kind::other);
        EXPECT_TRUE(account->credentials().has_value());
    }
}

TEST(MacAccount, ExpiredDeviceTokenSignsOutButKeepsTheSession) {
    AccountHarness harness;
    harness.signIn(harness.credentials(100));
    harness.server.respond(ScriptedHttpServer::response(401, R"({"error":"unauthorized_device"})"));
    auto account = harness.makeAccount();
    auto result = harness.wait<void>([&](auto done) { account->refreshDevices(done); });
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.failure().isSessionExpired());
    EXPECT_FALSE(account->credentials().has_value());
    EXPECT_EQ(account->message(), "登录已过期，请重新登录");
    EXPECT_EQ(account->sessions().sessions.size(), 1u);
    EXPECT_FALSE(account->sessions().activeKey.has_value());
    EXPECT_EQ(account->savedAccounts().size(), 1u);

    auto again = harness.wait<MacCredentials>([&](auto done) { account->validCredentials(done); });
    EXPECT_EQ(again.failure(), MacFailure::message("请先登录账号"));
}

TEST(MacAccount, PublishesListedDevicesAndThisMachine) {
    AccountHarness harness;
    harness.signIn(harness.credentials(86400));
    harness.server.respond(ok({{"devices",
                                {deviceEntry("D0", true), deviceEntry("D1", false), deviceEntry("D2", false),
                                 deviceEntry("D3")}}}));
    harness.server.respond(ok(Json::object()));
    harness.server.respond(ok({{"devices", {deviceEntry("D4"), {{"id", "broken"}}}}}));
    auto account = harness.makeAccount();

    ASSERT_TRUE(harness.wait<void>([&](auto done) { account->refreshDevices(done); }).ok());
    EXPECT_EQ(ids(account->devices()), (std::vector<std::string>{"D0", "D1", "D3"}));
    auto seen = harness.server.requests();
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/v1/devices");
    EXPECT_EQ(seen[0].headers["authorization"], "Bearer acct");

    ASSERT_TRUE(harness.wait<void>([&](auto done) { account->refreshDevices(done); }).ok());
    EXPECT_TRUE(account->devices().empty());

    auto broken = harness.wait<void>([&](auto done) { account->refreshDevices(done); });
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.failure().kind(), MacFailure::Kind::other);
}

TEST(MacAccount, RenewsOnceWhenTheDeviceListSaysTheTokenExpired) {
    AccountHarness harness;
    harness.signIn(harness.credentials(86400));
    harness.server.respond(ScriptedHttpServer::response(401, R"({"error":"unauthorized"})"));
    harness.server.respond(ok({{"access_token", "fresh"}, {"expires_at", kNow + 86400}}));
    harness.server.respond(ok({{"devices", {deviceEntry("D1")}}}));
    auto account = harness.makeAccount();
    ASSERT_TRUE(harness.wait<void>([&](auto done) { account->refreshDevices(done); }).ok());
    auto seen = harness.server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].target, "/v1/devices/D1/renew");
    EXPECT_EQ(seen[2].headers["authorization"], "Bearer fresh");
    EXPECT_EQ(ids(account->devices()), std::vector<std::string>{"D1"});

    // A second refusal after the renewal is passed on rather than retried again.
    harness.server.respond(ScriptedHttpServer::response(401, R"({"error":"unauthorized"})"));
    harness.server.respond(ok({{"access_token", "fresher"}, {"expires_at", kNow + 86400}}));
    harness.server.respond(ScriptedHttpServer::response(401, R"({"error":"unauthorized"})"));
    auto refused = harness.wait<void>([&](auto done) { account->refreshDevices(done); });
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.failure().isSessionExpired());
    EXPECT_EQ(harness.server.requests().size(), 6u);
}

TEST(MacAccount, SignsInBindsAndStoresTheAccount) {
    AccountHarness harness;
    auto account = harness.makeAccount();
    harness.server.respond(
        ok({{"access_token", "acct1"}, {"expires_at", kNow + 86400}, {"account", {{"username", "Alice"}}}}));
    harness.server.respond(ok({{"device", {{"id", "D9"}}}, {"device_token", "dev9"}}));
    harness.server.respond(ok({{"devices", {deviceEntry("D9", false)}}}));
    ASSERT_TRUE(harness.wait<void>([&](auto done) { account->login("alice", "pass word", done); }).ok());

    MacCredentials expected{harness.server.baseURL(), "Alice", "acct1", kNow + 86400, "D9", "dev9"};
    EXPECT_EQ(account->credentials(), expected);
    EXPECT_EQ(ids(account->devices()), std::vector<std::string>{"D9"});
    auto seen = harness.server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].target, "/v1/auth/login");
    EXPECT_EQ(Json::parse(seen[0].body), (Json{{"username", "alice"}, {"password", "pass word"}}));
    EXPECT_EQ(seen[0].headers.count("authorization"), 0u);
    EXPECT_EQ(seen[1].target, "/v1/devices");
    EXPECT_EQ(seen[1].headers["authorization"], "Bearer acct1");
    Json bind = Json::parse(seen[1].body);
    EXPECT_TRUE(isUuid(bind["installation_id"].get<std::string>()));
    EXPECT_EQ(bind["installation_id"], account->installationID().value());
    EXPECT_EQ(bind["installation_id"].get<std::string>(), [&] {
        auto text = bind["installation_id"].get<std::string>();
        for (auto& ch : text)
            ch = char(std::toupper(static_cast<unsigned char>(ch)));
        return text;
    }());
    bind.erase("installation_id");
    EXPECT_EQ(bind, (Json{{"name", "测试机"},
                          {"platform", "linux"},
                          {"kind", "computer"},
                          {"version", "1.0.0"},
                          {"multi_account", true}}));

    // A later start finds the same account and the same installation.
    auto restarted = harness.makeAccount();
    EXPECT_EQ(restarted->credentials(), expected);
    EXPECT_EQ(restarted->installationID().value(), account->installationID().value());
}

TEST(MacAccount, ASecondSignInOfTheSameUserReplacesTheSession) {
    AccountHarness harness;
    harness.signIn(harness.credentials(86400));
    auto account = harness.makeAccount();
    harness.server.respond(
        ok({{"access_token", "acct2"}, {"expires_at", kNow + 86400}, {"account", {{"username", "alice"}}}}));
    harness.server.respond(ok({{"device", {{"id", "D1"}}}, {"device_token", "dev2"}}));
    harness.server.respond(ok({{"devices", Json::array()}}));
    ASSERT_TRUE(harness.wait<void>([&](auto done) { account->login("alice", "pw", done); }).ok());
    EXPECT_EQ(account->savedAccounts().size(), 1u);
    EXPECT_EQ(account->sessions().sessions.size(), 1u);
    EXPECT_EQ(account->credentials()->deviceToken, "dev2");
}

TEST(MacAccount, LeavesTheStateAloneWhenSignInOrBindingFails) {
    const Json goodLogin{
        {"access_token", "acct2"}, {"expires_at", kNow + 86400}, {"account", {{"username", "bob"}}}};
    struct Case {
        const char* name;
        std::vector<std::string> script;
        MacFailure expected;
    };
    const Case cases[] = {
        {"wrong password",
         {ScriptedHttpServer::response(401, R"({"error":"invalid_credentials"})")},
         MacFailure::message("账号或密码不正确")},
        {"login answer without account",
         {ok({{"access_token", "a"}, {"expires_at", kNow}})},
         MacFailure::message("登录响应无效")},
        {"expiry of wrong type",
         {ok({{"access_token", "a"}, {"expires_at", "soon"}, {"account", {{"username", "b"}}}})},
         MacFailure::message("登录响应无效")},
        {"device limit",
         {ok(goodLogin), ScriptedHttpServer::response(409, R"({"error":"device_limit"})")},
         MacFailure::message("账号绑定设备已达上限")},
        {"binding answer without token",
         {ok(goodLogin), ok({{"device", {{"id", "D2"}}}})},
         MacFailure::message("设备绑定响应无效")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AccountHarness harness;
        MacCredentials alice = harness.credentials(86400);
        harness.signIn(alice);
        auto account = harness.makeAccount();
        for (const auto& raw : c.script)
            harness.server.respond(raw);
        auto result = harness.wait<void>([&](auto done) { account->login("bob", "pw", done); });
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.failure(), c.expected);
        EXPECT_EQ(account->credentials(), alice);
        EXPECT_EQ(account->sessions().sessions.size(), 1u);
    }
}

TEST(MacAccount, ReportsAKeyStoreThatRefusesToSave) {
    AccountHarness harness;
    auto account = harness.makeAccount(std::nullopt, std::make_shared<RefusingKeyStore>());
    harness.server.respond(
        ok({{"access_token", "acct1"}, {"expires_at", kNow + 86400}, {"account", {{"username", "alice"}}}}));
    auto result = harness.wait<void>([&](auto done) { account->login("alice", "pw", done); });
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure(), MacFailure::message("无法保存账号到钥匙串（locked）"));
    EXPECT_EQ(harness.server.requests().size(), 1u); // no binding without an installation id
    EXPECT_FALSE(account->credentials().has_value());
}

TEST(MacAccount, LogoutForgetsTheSessionEvenWithTheServiceDown) {
    AccountHarness harness;
    MacServiceConfig down = MacServiceConfig::single(AccountHarness::closedBase());
    MacCredentials alice = harness.credentials(86400, down.apiBaseURL);
    MacCredentials bob = alice;
    bob.username = "bob";
    harness.storeSessions(
        AccountSessions{accountKey(alice), {{accountKey(alice), alice}, {accountKey(bob), bob}}}.toJson());
    auto account = harness.makeAccount(down);
    ASSERT_TRUE(account->credentials().has_value());
    harness.waitPlain([&](auto done) { account->logout(done); });
    EXPECT_FALSE(account->credentials().has_value());
    EXPECT_EQ(account->sessions().sessions.count(accountKey(alice)), 0u);
    EXPECT_EQ(account->savedAccounts().size(), 1u); // bob stays switchable
    EXPECT_FALSE(harness.makeAccount(down)->credentials().has_value());
}

TEST(MacAccount, LogoutUnbindsThenSignsOut) {
    AccountHarness harness;
    harness.signIn(harness.credentials(86400));
    auto account = harness.makeAccount();
    harness.server.respond(ScriptedHttpServer::response(500, "{}"));
    harness.server.respond(ok(Json::object()));
    harness.waitPlain([&](auto done) { account->logout(done); });
    auto seen = harness.server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "DELETE");
    EXPECT_EQ(seen[0].target, "/v1/devices/D1");
    EXPECT_EQ(seen[0].headers["authorization"], "Bearer acct");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[1].target, "/v1/auth/logout");
    EXPECT_EQ(seen[1].body, "{}");
}

TEST(MacAccount, SendsHeartbeatsWithTheDeviceToken) {
    AccountHarness harness;
    harness.signIn(harness.credentials(10)); // no renewal for heartbeats, even close to expiry
    auto account = harness.makeAccount();
    harness.server.respond(ScriptedHttpServer::response(204, ""));
    harness.waitPlain([&](auto done) { account->heartbeat(true, false, true, done); });
    auto seen = harness.server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/v1/devices/D1/heartbeat");
    EXPECT_EQ(seen[0].headers["authorization"], "Bearer dev");
    EXPECT_EQ(Json::parse(seen[0].body), (Json{{"capture_ready", true},
                                               {"input_ready", false},
                                               {"webrtc", true},
                                               {"usb_ready", false},
                                               {"unattended", false},
                                               {"kind", "computer"}}));
}

TEST(MacAccount, SwitchesOnlyToSavedSessionsOfThisService) {
    AccountHarness harness;
    MacCredentials alice = harness.credentials(86400);
    MacCredentials foreign = alice;
    foreign.base = "https://elsewhere.example";
    harness.storeSessions(
        AccountSessions{std::nullopt, {{accountKey(alice), alice}, {accountKey(foreign), foreign}}}.toJson());
    auto account = harness.makeAccount();
    for (const std::string& key : {accountKey(foreign), std::string("missing")}) {
        SCOPED_TRACE(key);
        auto refused = harness.wait<void>([&](auto done) { account->switchAccount(key, done); });
        EXPECT_EQ(refused.failure(), MacFailure::message("账号不可用，请重新登录"));
    }
    harness.server.respond(ok({{"devices", {deviceEntry("D1")}}}));
    ASSERT_TRUE(harness.wait<void>([&](auto done) { account->switchAccount(accountKey(alice), done); }).ok());
    EXPECT_EQ(account->credentials(), alice);
    EXPECT_EQ(ids(account->devices()), std::vector<std::string>{"D1"});
    ASSERT_TRUE(harness.wait<void>([&](auto done) { account->switchAccount(std::nullopt, done); }).ok());
    EXPECT_FALSE(account->credentials().has_value());
    EXPECT_EQ(account->savedAccounts().size(), 1u);
}

TEST(MacAccount, SmsSignInMayAskForAPasswordFirst) {
    AccountHarness harness;
    auto account = harness.makeAccount();
    const Json pending{{"needs_password_setup", true},
                       {"access_token", "setup-token"},
                       {"expires_at", kNow + 600},
                       {"account", {{"username", "13800000000"}}}};
    harness.server.respond(ok(pending));
    ASSERT_TRUE(
        harness.wait<void>([&](auto done) { account->smsLogin("13800000000", "123456", done); }).ok());
    EXPECT_TRUE(account->needsPasswordSetup());
    EXPECT_EQ(account->pendingSMS(), pending);
    EXPECT_FALSE(account->credentials().has_value());

    harness.server.respond(ok({{"expires_at", kNow + 86400}}));
    harness.server.respond(ok({{"device", {{"id", "D5"}}}, {"device_token", "dev5"}}));
    harness.server.respond(ok({{"devices", Json::array()}}));
    ASSERT_TRUE(
        harness.wait<void>([&](auto done) { account->setupPassword("correct horse battery", done); }).ok());
    EXPECT_FALSE(account->needsPasswordSetup());
    EXPECT_FALSE(account->pendingSMS().has_value());
    ASSERT_TRUE(account->credentials().has_value());
    EXPECT_EQ(account->credentials()->expiresAt, kNow + 86400);
    EXPECT_EQ(account->credentials()->accountToken, "setup-token");

    auto seen = harness.server.requests();
    EXPECT_EQ(Json::parse(seen[0].body),
              (Json{{"phone", "13800000000"}, {"code", "123456"}, {"require_password_setup", true}}));
    EXPECT_EQ(seen[1].target, "/v1/auth/password-setup");
    EXPECT_EQ(seen[1].headers["authorization"], "Bearer setup-token");
    EXPECT_EQ(Json::parse(seen[1].body), (Json{{"new_password", "correct horse battery"}}));
}

TEST(MacAccount, PasswordSetupWithoutExpiryAsksForAPasswordSignIn) {
    AccountHarness harness;
    auto account = harness.makeAccount();
    harness.server.respond(ok({{"needs_password_setup", true},
                               {"access_token", "setup-token"},
                               {"expires_at", kNow + 600},
                               {"account", {{"username", "13800000000"}}}}));
    ASSERT_TRUE(
        harness.wait<void>([&](auto done) { account->smsLogin("13800000000", "123456", done); }).ok());
    harness.server.respond(ok(Json::object()));
    ASSERT_TRUE(
        harness.wait<void>([&](auto done) { account->setupPassword("correct horse battery", done); }).ok());
    EXPECT_EQ(account->message(), "密码已设置。登录响应无效，请用密码重新登录。");
    EXPECT_FALSE(account->needsPasswordSetup());
    EXPECT_FALSE(account->credentials().has_value());
}
