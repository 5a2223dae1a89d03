#include "ServiceFixture.h"

#include <regex>

namespace quorlinth::testing {
namespace {

using AccountFlow = OnEachStorage<ServiceTest>;

TEST_P(AccountFlow, PasswordLoginAcceptsUserNameOrPhoneAndRejectsWrongCredentials) {
    struct Case {
        const char* username;
        const char* password;
        int status;
        const char* error;
    } cases[] = {
        {kUser, kPassword, 200, ""},
        {kPhone, kPassword, 200, ""},
        {kUser, "wrong password", 401, "invalid_credentials"},
        {"nobody", kPassword, 401, "invalid_credentials"},
        {"", "", 401, "invalid_credentials"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.username) + " / " + c.password);
        HttpReply reply = client->request("POST", "/v1/auth/login", "",
                                          Json{{"username", c.username}, {"password", c.password}});
        EXPECT_EQ(c.status, reply.status) << reply.body;
        EXPECT_EQ(c.error, reply.error());
        if (c.status != 200) continue;
        Json body = reply.json();
        EXPECT_FALSE(field::string(body, "access_token", "").empty());
        EXPECT_GT(field::int64(body, "expires_at", 0), int64_t(time(nullptr)) + 86000);
        const Json* account = field::object(body, "account");
        ASSERT_NE(nullptr, account);
        EXPECT_EQ(kUser, field::string(*account, "username", ""));
    }
}

TEST_P(AccountFlow, BindingIsIdempotentPerInstallationAndReplacesTheDeviceToken) {
    std::string token = signIn();
    BoundDevice first = bind(token, "INSTALL-1");
    BoundDevice again = bind(token, "INSTALL-1", "改名的 Mac");
    BoundDevice other = bind(token, "INSTALL-2");
    EXPECT_EQ(first.id, again.id);
    EXPECT_NE(first.token, again.token);
    EXPECT_NE(first.id, other.id);
    EXPECT_EQ(401, heartbeat(first, true, true, true).status);
    EXPECT_EQ("unauthorized_device", heartbeat(first, true, true, true).error());
    EXPECT_EQ(200, heartbeat(again, true, true, true).status);
    EXPECT_EQ("改名的 Mac", field::string(deviceInList(token, first.id), "name", ""));
}

TEST_P(AccountFlow, BindingStopsAtTheDeviceLimit) {
    std::string token = signIn();
    for (int i = 0; i < 20; ++i)
        bind(token, "INSTALL-" + std::to_string(i));
    HttpReply refused = client->request(
        "POST", "/v1/devices", token,
        Json{
            {"installation_id", "ONE-TOO-MANY"}, {"name", "x"}, {"platform", "macos"}, {"kind", "computer"}});
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ("device_limit", refused.error());
    // An installation already bound may bind again.
    HttpReply unknownPlatform =
        client->request("POST", "/v1/devices", token,
                        Json{{"installation_id", "INSTALL-3"}, {"name", "x"}, {"platform", "amiga"}});
    EXPECT_EQ(400, unknownPlatform.status);
    EXPECT_EQ("invalid_device", unknownPlatform.error());
    EXPECT_FALSE(bind(token, "INSTALL-3").id.empty());
}

TEST_P(AccountFlow, DeviceListFollowsTheHeartbeat) {
    std::string token = signIn();
    BoundDevice mac = bind(token, "INSTALL-1");
    Json listed = deviceInList(token, mac.id);
    EXPECT_EQ(false, listed["online"]);
    EXPECT_EQ("macos", listed["platform"]);
    EXPECT_EQ(true, listed["listed"]);

    ASSERT_EQ(200, heartbeat(mac, true, false, true).status);
    listed = deviceInList(token, mac.id);
    EXPECT_EQ(true, listed["online"]);
    EXPECT_EQ((Json{{"capture_ready", true}, {"input_ready", false}, {"webrtc", true}}),
              listed["capabilities"]);

    advanceClock(61);
    token = signIn(); // the clock jump is far from the token's expiry, but sign in anyway
    listed = deviceInList(token, mac.id);
    EXPECT_EQ(false, listed["online"]);
    EXPECT_EQ(false, listed["capabilities"]["capture_ready"]);
}

TEST_P(AccountFlow, AccountAndDeviceTokensAreNotInterchangeable) {
    std::string token = signIn();
    BoundDevice mac = bind(token, "INSTALL-1");
    BoundDevice other = bind(token, "INSTALL-2");
    struct Case {
        const char* name;
        std::string method, path, token;
        int status;
        const char* error;
    } cases[] = {
        {"list without token", "GET", "/v1/devices", "", 401, "unauthorized"},
        {"list with device token", "GET", "/v1/devices", mac.token, 401, "unauthorized"},
        {"list with garbage", "GET", "/v1/devices", "qa_not-a-token", 401, "unauthorized"},
        {"renew with account token", "POST", "/v1/devices/" + mac.id + "/renew", token, 401,
         "unauthorized_device"},
        {"renew without token", "POST", "/v1/devices/" + mac.id + "/renew", "", 401, "unauthorized_device"},
        {"renew another device", "POST", "/v1/devices/" + other.id + "/renew", mac.token, 403, "forbidden"},
        {"heartbeat another device", "POST", "/v1/devices/" + other.id + "/heartbeat", mac.token, 403,
         "forbidden"},
        {"pairing of another device", "PUT", "/v1/devices/" + other.id + "/pairing", mac.token, 403,
         "forbidden"},
        {"diagnostics with device token", "POST", "/v1/diagnostics", mac.token, 401, "unauthorized"},
        {"logout with device token", "POST", "/v1/auth/logout", mac.token, 401, "unauthorized"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpReply reply = client->request(c.method, c.path, c.token, Json::object());
        EXPECT_EQ(c.status, reply.status) << reply.body;
        EXPECT_EQ(c.error, reply.error());
    }
}

TEST_P(AccountFlow, AccountTokenExpiresAfterADayAndTheDeviceTokenRenewsIt) {
    std::string token = signIn();
    BoundDevice mac = bind(token, "INSTALL-1");
    advanceClock(24 * 3600 + 1);
    HttpReply expired = client->request("GET", "/v1/devices", token);
    EXPECT_EQ(401, expired.status);
    EXPECT_EQ("unauthorized", expired.error());

    HttpReply renewed =
        client->request("POST", "/v1/devices/" + mac.id + "/renew", mac.token, Json::object());
    ASSERT_EQ(200, renewed.status) << renewed.body;
    std::string fresh = field::string(renewed.json(), "access_token", "");
    EXPECT_GT(field::int64(renewed.json(), "expires_at", 0), int64_t(time(nullptr)) + 2 * 86400 - 600);
    EXPECT_EQ(200, client->request("GET", "/v1/devices", fresh).status);
}

TEST_P(AccountFlow, DeletingADeviceRevokesItsTokenAndOnlyWorksWithinTheAccount) {
    ASSERT_EQ(0, addUser("bob", "another password"));
    std::string alice = signIn();
    std::string bob = signIn("bob", "another password");
    BoundDevice mac = bind(alice, "INSTALL-1");
    BoundDevice bobs = bind(bob, "INSTALL-1");
    EXPECT_NE(mac.id, bobs.id) << "one installation binds separately per account";

    HttpReply foreign = client->request("DELETE", "/v1/devices/" + bobs.id, alice);
    EXPECT_EQ(404, foreign.status);
    EXPECT_EQ("device_not_found", foreign.error());

    EXPECT_EQ(200, client->request("DELETE", "/v1/devices/" + mac.id, alice).status);
    EXPECT_TRUE(deviceInList(alice, mac.id).is_null());
    EXPECT_EQ(401, heartbeat(mac, true, true, true).status);
    EXPECT_EQ(200, heartbeat(bobs, true, true, true).status);
}

TEST_P(AccountFlow, LogoutRevokesOnlyThatToken) {
    std::string first = signIn();
    std::string second = signIn();
    EXPECT_EQ(200, client->request("POST", "/v1/auth/logout", first, Json::object()).status);
    EXPECT_EQ(401, client->request("GET", "/v1/devices", first).status);
    EXPECT_EQ(200, client->request("GET", "/v1/devices", second).status);
}

TEST_P(AccountFlow, PairingIssuesANewNineDigitCodeEachTimeAndCanBeWithdrawn) {
    BoundDevice mac = bind(signIn(), "INSTALL-1");
    std::string path = "/v1/devices/" + mac.id + "/pairing";
    HttpReply first = client->request("PUT", path, mac.token, Json{{"password", "00112233aabbccdd"}});
    HttpReply second = client->request("PUT", path, mac.token, Json{{"password", "8899aabbccddeeff"}});
    ASSERT_EQ(200, first.status) << first.body;
    ASSERT_EQ(200, second.status) << second.body;
    std::regex nineDigits("[1-9][0-9]{8}");
    EXPECT_TRUE(std::regex_match(field::string(first.json(), "code", ""), nineDigits));
    EXPECT_TRUE(std::regex_match(field::string(second.json(), "code", ""), nineDigits));
    EXPECT_NE(first.json()["code"], second.json()["code"]);

    for (const char* bad : {"", "abc", "00112233AABBCCDD", "0011223g", "0011223"}) {
        SCOPED_TRACE(bad);
        HttpReply refused = client->request("PUT", path, mac.token, Json{{"password", bad}});
        EXPECT_EQ(400, refused.status);
        EXPECT_EQ("invalid_password", refused.error());
    }
    EXPECT_EQ(400, client->request("PUT", path, mac.token, Json{{"password", 42}}).status);
    EXPECT_EQ(200, client->request("DELETE", path, mac.token).status);
    EXPECT_EQ(200, client->request("DELETE", path, mac.token).status) << "withdrawing twice is harmless";
}

TEST_P(AccountFlow, DiagnosticsAreStoredWithAReadableId) {
    std::string token = signIn();
    Json upload{{"platform", "macos"}, {"build", "42"}, {"device", "Mac"}, {"text", "env\nline one\n"}};
    HttpReply reply = client->request("POST", "/v1/diagnostics", token, upload);
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_TRUE(std::regex_match(field::string(reply.json(), "id", ""),
                                 std::regex("[0-9]{6}-[ABCDEFGHJKMNPQRSTUVWXYZ23456789]{6}")));

    upload["text"] = std::string(100000, 'x');
    EXPECT_EQ(200, client->request("POST", "/v1/diagnostics", token, upload).status);
    upload["text"] = std::string(300 * 1024, 'x');
    HttpReply tooLarge = client->request("POST", "/v1/diagnostics", token, upload);
    EXPECT_EQ(413, tooLarge.status);
    EXPECT_EQ("text_too_large", tooLarge.error());
    EXPECT_EQ(std::string::npos, service->logText().find("line one"))
        << "diagnostic text never reaches the log";
}

TEST_P(AccountFlow, LogHasOneLineForEachRequestAndNoSecrets) {
    std::string token = signIn();
    BoundDevice mac = bind(token, "INSTALL-1");
    client->request("PUT", "/v1/devices/" + mac.id + "/pairing", mac.token,
                    Json{{"password", "00112233aabbccdd"}});
    std::string log = service->logText();
    EXPECT_NE(std::string::npos, log.find("POST /v1/auth/login 200"));
    EXPECT_NE(std::string::npos, log.find("PUT /v1/devices/" + mac.id + "/pairing 200"));
    for (const std::string& secret :
         {std::string(kPassword), token, mac.token, std::string("00112233aabbccdd")})
        EXPECT_EQ(std::string::npos, log.find(secret));
}

INSTANTIATE_TEST_SUITE_P(Backend, AccountFlow, kEachStorage, storageName);

} // namespace
} // namespace quorlinth::testing
