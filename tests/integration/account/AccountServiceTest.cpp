// MacHTTP and MacAccount against the real quorlinth-service on loopback.
#include "ScriptedHttpServer.h"
#include "ServiceProcess.h"
#include "account/MacAccount.h"
#include "base/MainQueue.h"
#include "net/HttpClient.h"
#include "store/KeyStore.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <regex>

using namespace quorlinth;
using quorlinth::testing::ServiceProcess;
using quorlinth::testing::TempDir;
using namespace std::chrono_literals;

namespace {

int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One service, and any number of "machines": accounts with key stores of their own, so each
// is another installation of the application.
class ServiceHarness {
public:
    ServiceHarness() : folder(quorlinth::testing::makeTemporaryFolder("quorlinth-machines-")) {}
    ~ServiceHarness() { std::filesystem::remove_all(folder); }

    std::shared_ptr<MacAccount> machine(const std::string& name) {
        auto keys = std::make_shared<FileKeyStore>(folder / name / "keys.json");
        return MacAccount::create(
            keys, {MacServiceConfig::single(service.baseUrl()), [this] { return clock(); }, name}, loop);
    }

    int64_t clock() const { return unixNow() + clockOffset; }

    template <class T> MacResult<T> wait(const std::function<void(MacAccount::Done<T>)>& start) {
        std::optional<MacResult<T>> outcome;
        start([&](MacResult<T> result) { outcome = std::move(result); });
        EXPECT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 60s));
        if (!outcome) return MacFailure::message("no answer");
        return *outcome;
    }

    MacResult<void> login(MacAccount& account, const std::string& user, const std::string& password) {
        return wait<void>([&](auto done) { account.login(user, password, done); });
    }

    MacResult<void> refresh(MacAccount& account) {
        return wait<void>([&](auto done) { account.refreshDevices(done); });
    }

    void beat(MacAccount& account, bool capture, bool input, bool webrtc) {
        bool finished = false;
        account.heartbeat(capture, input, webrtc, [&] { finished = true; });
        EXPECT_TRUE(loop.runUntil([&] { return finished; }, 60s));
    }

    MacResult<Json> request(const std::string& method, const std::string& path, const std::string& token,
                            const std::optional<Json>& body = std::nullopt) {
        MacHTTP http(MacServiceConfig::single(service.baseUrl()), loop);
        return wait<Json>(
            [&](auto done) { http.request(service.baseUrl(), path, method, token, body, done); });
    }

    // The status and body as they come, for checks on the service's own answers.
    std::optional<net::HttpResponse> raw(const std::string& method, const std::string& path,
                                         const Json& body) {
        net::HttpRequest request{
            method, service.baseUrl() + path, {{"Content-Type", "application/json"}}, body.dump()};
        std::promise<Result<net::HttpResponse>> promise;
        auto answer = promise.get_future();
        http.send(request, [&](Result<net::HttpResponse> result) { promise.set_value(std::move(result)); });
        if (answer.wait_for(60s) != std::future_status::ready) return std::nullopt;
        auto result = answer.get();
        return result ? std::optional(result.value()) : std::nullopt;
    }

    // The service's development helpers.
    std::optional<std::string> captchaAnswer(const std::string& captchaID) {
        auto answer = request("GET", "/v1/dev/captchas/" + captchaID, "");
        return answer.ok() ? field::string(answer.value(), "answer") : std::nullopt;
    }
    std::optional<std::string> lastSmsCode(const std::string& phone) {
        auto outbox = request("GET", "/v1/dev/outbox", "");
        const Json* messages = outbox.ok() ? field::array(outbox.value(), "messages") : nullptr;
        std::optional<std::string> code;
        std::smatch digits;
        static const std::regex sixDigits("(^|\\D)(\\d{6})(\\D|$)");
        for (const Json& message : messages ? *messages : Json::array()) {
            std::string text = field::string(message, "text", "");
            if (field::string(message, "phone") == phone && std::regex_search(text, digits, sixDigits))
                code = digits[2];
        }
        return code;
    }
    bool advanceClock(int64_t seconds) {
        return request("POST", "/v1/dev/clock", "", Json{{"advance", seconds}}).ok();
    }

    RunLoop loop;
    TempDir dir;
    ServiceProcess service{dir, {}};
    net::HttpClient http{{"test.service", std::nullopt}};
    std::filesystem::path folder;
    int64_t clockOffset = 0;
};

const MacDevice* find(const std::vector<MacDevice>& devices, const std::string& id) {
    for (const auto& device : devices)
        if (device.id == id) return &device;
    return nullptr;
}

} // namespace

class AccountService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(harness.service.started()) << quorlinth::testing::serviceBinary();
        ASSERT_TRUE(harness.service.addUser("alice", "alice-password-1", "13800000001"));
    }
    ServiceHarness harness;
};

TEST_F(AccountService, PasswordSignInBindsThisMachineAndListsItsStatus) {
    auto mac = harness.machine("书房的 Mac");
    auto result = harness.login(*mac, "alice", "alice-password-1");
    ASSERT_TRUE(result.ok()) << result.failure().localizedDescription();
    ASSERT_TRUE(mac->credentials().has_value());
    const MacCredentials credentials = *mac->credentials();
    EXPECT_EQ(credentials.base, harness.service.baseUrl());
    EXPECT_EQ(credentials.username, "alice");
    EXPECT_GT(credentials.expiresAt, unixNow());
    ASSERT_EQ(mac->devices().size(), 1u);
    EXPECT_EQ(mac->devices()[0].id, credentials.deviceID);
    EXPECT_EQ(mac->devices()[0].name, "书房的 Mac");
    EXPECT_EQ(mac->devices()[0].platform, "linux");

    struct Case {
        bool capture, input, webrtc;
        const char* status;
    };
    const Case cases[] = {
        {true, true, true, "在线 · 可远控"},
        {true, false, true, "在线 · 可观看（对方未允许远程鼠标和键盘）"},
        {false, false, false, "在线 · 未开启共享（需在该电脑上点“启动屏幕共享”）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        harness.beat(*mac, c.capture, c.input, c.webrtc);
        ASSERT_TRUE(harness.refresh(*mac).ok());
        ASSERT_EQ(mac->devices().size(), 1u);
        EXPECT_EQ(mac->devices()[0].statusText(), c.status);
    }
}

TEST_F(AccountService, TwoMachinesOfOneAccountSeeEachOther) {
    auto first = harness.machine("first");
    auto second = harness.machine("second");
    ASSERT_TRUE(harness.login(*first, "alice", "alice-password-1").ok());
    ASSERT_TRUE(harness.login(*second, "alice", "alice-password-1").ok());
    EXPECT_NE(first->credentials()->deviceID, second->credentials()->deviceID);
    EXPECT_NE(first->installationID().value(), second->installationID().value());

    harness.beat(*second, true, true, true);
    ASSERT_TRUE(harness.refresh(*first).ok());
    ASSERT_EQ(first->devices().size(), 2u);
    const MacDevice* other = find(first->devices(), second->credentials()->deviceID);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->name, "second");
    EXPECT_EQ(other->statusText(), "在线 · 可远控");
    const MacDevice* self = find(first->devices(), first->credentials()->deviceID);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->statusText(), "离线");

    // Binding again from the same installation keeps one device.
    ASSERT_TRUE(harness.login(*first, "alice", "alice-password-1").ok());
    EXPECT_EQ(first->devices().size(), 2u);
    EXPECT_EQ(first->savedAccounts().size(), 1u);
}

TEST_F(AccountService, RefusesWrongPasswordsWithTheTableText) {
    auto mac = harness.machine("mac");
    auto result = harness.login(*mac, "alice", "wrong-password");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure(), MacFailure::message("账号或密码不正确"));
    EXPECT_FALSE(mac->credentials().has_value());
}

TEST_F(AccountService, RenewsTheAccountTokenThroughTheDeviceToken) {
    auto mac = harness.machine("mac");
    ASSERT_TRUE(harness.login(*mac, "alice", "alice-password-1").ok());
    MacCredentials before = *mac->credentials();
    // The client believes the token is within its last hour.
    harness.clockOffset = before.expiresAt - 3599 - unixNow();
    auto renewed = harness.wait<MacCredentials>([&](auto done) { mac->validCredentials(done); });
    ASSERT_TRUE(renewed.ok()) << renewed.failure().localizedDescription();
    EXPECT_NE(renewed.value().accountToken, before.accountToken);
    EXPECT_EQ(renewed.value().deviceToken, before.deviceToken);
    EXPECT_EQ(mac->credentials(), renewed.value());
    // The new token is the one the service accepts.
    EXPECT_TRUE(harness.request("GET", "/v1/devices", renewed.value().accountToken).ok());
}

TEST_F(AccountService, AnExpiredAccountTokenIsRenewedAndTheListRepeated) {
    auto mac = harness.machine("mac");
    ASSERT_TRUE(harness.login(*mac, "alice", "alice-password-1").ok());
    std::string oldToken = mac->credentials()->accountToken;
    // The service moves past the token's expiry while the client still believes it valid.
    ASSERT_TRUE(harness.advanceClock(25 * 3600));
    auto stale = harness.request("GET", "/v1/devices", oldToken);
    ASSERT_FALSE(stale.ok());
    EXPECT_TRUE(stale.failure().isSessionExpired());

    auto result = harness.refresh(*mac);
    ASSERT_TRUE(result.ok()) << result.failure().localizedDescription();
    EXPECT_NE(mac->credentials()->accountToken, oldToken);
    EXPECT_EQ(mac->devices().size(), 1u);
}

TEST_F(AccountService, AnUnboundDeviceEndsItsSignInButKeepsTheSavedAccount) {
    auto mac = harness.machine("mac");
    auto phone = harness.machine("phone");
    ASSERT_TRUE(harness.login(*mac, "alice", "alice-password-1").ok());
    ASSERT_TRUE(harness.login(*phone, "alice", "alice-password-1").ok());
    // The other machine removes this one from the account.
    ASSERT_TRUE(harness
                    .request("DELETE", "/v1/devices/" + mac->credentials()->deviceID,
                             phone->credentials()->accountToken)
                    .ok());

    harness.clockOffset = mac->credentials()->expiresAt - 60 - unixNow();
    auto result = harness.refresh(*mac);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.failure().isSessionExpired());
    EXPECT_FALSE(mac->credentials().has_value());
    EXPECT_EQ(mac->message(), "登录已过期，请重新登录");
    EXPECT_EQ(mac->savedAccounts().size(), 1u);
}

TEST_F(AccountService, DistinguishesUnauthorizedFromForbidden) {
    auto mac = harness.machine("mac");
    auto other = harness.machine("other");
    ASSERT_TRUE(harness.login(*mac, "alice", "alice-password-1").ok());
    ASSERT_TRUE(harness.login(*other, "alice", "alice-password-1").ok());
    const MacCredentials& mine = *mac->credentials();

    struct Case {
        const char* name;
        std::string path;
        std::string token;
        std::optional<MacFailure> expected; // nullopt: success
    };
    const Case cases[] = {
        {"own device token", "/v1/devices/" + mine.deviceID + "/heartbeat", mine.deviceToken, std::nullopt},
        {"unknown device token", "/v1/devices/" + mine.deviceID + "/heartbeat", "not-a-token",
         MacFailure::sessionExpired()},
        {"account token where a device token belongs", "/v1/devices/" + mine.deviceID + "/renew",
         mine.accountToken, MacFailure::sessionExpired()},
        {"device token on another device's path",
         "/v1/devices/" + other->credentials()->deviceID + "/heartbeat", mine.deviceToken,
         MacFailure::message("请求失败（403，forbidden）")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto result =
            harness.request("POST", c.path, c.token,
                            Json{{"capture_ready", false}, {"input_ready", false}, {"webrtc", false}});
        if (!c.expected) {
            EXPECT_TRUE(result.ok()) << result.failure().localizedDescription();
        } else {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.failure(), *c.expected);
        }
    }
    auto noToken = harness.request("GET", "/v1/devices", "");
    ASSERT_FALSE(noToken.ok());
    EXPECT_TRUE(noToken.failure().isSessionExpired());
}

TEST_F(AccountService, LogoutUnbindsAndRevokesTheToken) {
    auto mac = harness.machine("mac");
    auto other = harness.machine("other");
    ASSERT_TRUE(harness.login(*mac, "alice", "alice-password-1").ok());
    ASSERT_TRUE(harness.login(*other, "alice", "alice-password-1").ok());
    MacCredentials old = *mac->credentials();

    bool finished = false;
    mac->logout([&] { finished = true; });
    EXPECT_FALSE(mac->credentials().has_value()); // gone locally at once
    ASSERT_TRUE(harness.loop.runUntil([&] { return finished; }, 60s));
    EXPECT_TRUE(mac->savedAccounts().empty());

    auto revoked = harness.request("GET", "/v1/devices", old.accountToken);
    ASSERT_FALSE(revoked.ok());
    EXPECT_TRUE(revoked.failure().isSessionExpired());
    ASSERT_TRUE(harness.refresh(*other).ok());
    EXPECT_EQ(find(other->devices(), old.deviceID), nullptr);
}

TEST_F(AccountService, SmsSignInRegistersAPhoneWithAPassword) {
    auto mac = harness.machine("mac");
    auto captcha = harness.request("POST", "/v1/auth/captcha", "", Json::object());
    ASSERT_TRUE(captcha.ok()) << captcha.failure().localizedDescription();
    std::string captchaID = field::string(captcha.value(), "captcha_id", "");
    EXPECT_EQ(field::string(captcha.value(), "image", "").rfind("data:image/png;base64,", 0), 0u);

    auto wrong = harness.request("POST", "/v1/auth/sms-code", "",
                                 Json{{"phone", "13900000002"},
                                      {"purpose", "login"},
                                      {"captcha_id", captchaID},
                                      {"captcha_answer", "no"}});
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.failure(), MacFailure::message("图形验证码不正确，请刷新"));

    captcha = harness.request("POST", "/v1/auth/captcha", "", Json::object());
    captchaID = field::string(captcha.value(), "captcha_id", "");
    auto answer = harness.captchaAnswer(captchaID);
    ASSERT_TRUE(answer.has_value());
    auto sent = harness.request("POST", "/v1/auth/sms-code", "",
                                Json{{"phone", "13900000002"},
                                     {"purpose", "login"},
                                     {"captcha_id", captchaID},
                                     {"captcha_answer", *answer}});
    ASSERT_TRUE(sent.ok()) << sent.failure().localizedDescription();
    auto code = harness.lastSmsCode("13900000002");
    ASSERT_TRUE(code.has_value());

    auto badCode = harness.wait<void>(
        [&](auto done) { mac->smsLogin("13900000002", *code == "000000" ? "111111" : "000000", done); });
    ASSERT_FALSE(badCode.ok());
    EXPECT_EQ(badCode.failure(), MacFailure::message("验证码不正确"));

    ASSERT_TRUE(harness.wait<void>([&](auto done) { mac->smsLogin("13900000002", *code, done); }).ok());
    ASSERT_TRUE(mac->needsPasswordSetup());
    EXPECT_FALSE(mac->credentials().has_value());
    auto setup = harness.wait<void>([&](auto done) { mac->setupPassword("a-new-password-12", done); });
    ASSERT_TRUE(setup.ok()) << setup.failure().localizedDescription();
    EXPECT_EQ(mac->message(), "");
    ASSERT_TRUE(mac->credentials().has_value());
    EXPECT_FALSE(mac->needsPasswordSetup());
    EXPECT_EQ(mac->devices().size(), 1u);

    // The phone and the new password now sign in another machine.
    auto other = harness.machine("other");
    auto byPassword = harness.login(*other, "13900000002", "a-new-password-12");
    ASSERT_TRUE(byPassword.ok()) << byPassword.failure().localizedDescription();
    EXPECT_EQ(other->credentials()->username, mac->credentials()->username);
}

TEST_F(AccountService, QrSignInCompletesOnceAPhoneApproves) {
    auto phone = harness.machine("phone");
    ASSERT_TRUE(harness.login(*phone, "alice", "alice-password-1").ok());
    auto mac = harness.machine("mac");

    auto created = harness.request("POST", "/v1/auth/qr", "", Json{{"name", "mac"}});
    ASSERT_TRUE(created.ok()) << created.failure().localizedDescription();
    std::string id = field::string(created.value(), "id", "");
    std::string secret = field::string(created.value(), "poll_secret", "");
    EXPECT_FALSE(field::string(created.value(), "qr", "").empty());
    Json poll{{"id", id}, {"secret", secret}};

    auto pending = harness.request("POST", "/v1/auth/qr/poll", "", poll);
    ASSERT_TRUE(pending.ok());
    EXPECT_EQ(field::string(pending.value(), "status"), "pending");

    ASSERT_TRUE(harness
                    .request("POST", "/v1/auth/qr/approve", phone->credentials()->accountToken,
                             Json{{"id", id}, {"approve", true}})
                    .ok());
    auto approved = harness.request("POST", "/v1/auth/qr/poll", "", poll);
    ASSERT_TRUE(approved.ok());
    EXPECT_EQ(field::string(approved.value(), "status"), "approved");
    auto completed = harness.wait<void>([&](auto done) { mac->completeLogin(approved.value(), done); });
    ASSERT_TRUE(completed.ok()) << completed.failure().localizedDescription();
    EXPECT_EQ(mac->credentials()->username, "alice");
    EXPECT_EQ(mac->devices().size(), 2u);

    auto again = harness.request("POST", "/v1/auth/qr/poll", "", poll);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.failure(), MacFailure::message("二维码已处理，请刷新"));
}

TEST_F(AccountService, ExpiredQrCodesAreReportedAsSuch) {
    auto created = harness.request("POST", "/v1/auth/qr", "", Json{{"name", "mac"}});
    ASSERT_TRUE(created.ok());
    ASSERT_TRUE(harness.advanceClock(181));
    auto expired = harness.request("POST", "/v1/auth/qr/poll", "",
                                   Json{{"id", field::string(created.value(), "id", "")},
                                        {"secret", field::string(created.value(), "poll_secret", "")}});
    ASSERT_FALSE(expired.ok());
    EXPECT_EQ(expired.failure(), MacFailure::message("二维码已过期，请刷新"));
}

TEST_F(AccountService, UnknownPathsAndBrokenBodiesGetJsonErrors) {
    auto unknown = harness.request("GET", "/v1/nothing-here", "");
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.failure().kind(), MacFailure::Kind::message);
    EXPECT_EQ(unknown.failure().localizedDescription().rfind("请求失败（404，", 0), 0u)
        << unknown.failure().localizedDescription();

    auto broken = harness.raw("POST", "/v1/auth/login", Json::array({1, 2}));
    ASSERT_TRUE(broken.has_value());
    EXPECT_EQ(broken->status / 100, 4u);
    auto interpreted = MacHTTP::interpretResponse(*broken);
    ASSERT_FALSE(interpreted.ok());
    EXPECT_EQ(interpreted.failure().kind(), MacFailure::Kind::message);
}

TEST(AccountServiceOverTls, SignsInWhenTheServiceCertificateIsTrusted) {
    auto folder = quorlinth::testing::makeTemporaryFolder("quorlinth-tls-");
    auto files = quorlinth::testing::makeLoopbackCertificate(folder);
    TempDir dir;
    ServiceProcess service(dir, {true, files.certificate, files.privateKey, std::nullopt});
    ASSERT_TRUE(service.started());
    ASSERT_EQ(service.baseUrl().rfind("https://127.0.0.1:", 0), 0u) << service.baseUrl();
    ASSERT_TRUE(service.addUser("dave", "dave-password-12"));

    RunLoop loop;
    for (bool trusted : {false, true}) {
        SCOPED_TRACE(trusted ? "trusted" : "unknown certificate");
        MacServiceConfig config = MacServiceConfig::single(service.baseUrl());
        if (trusted) config.caFile = files.certificate;
        auto keys = std::make_shared<FileKeyStore>(folder / (trusted ? "a" : "b") / "keys.json");
        auto account = MacAccount::create(keys, {config, {}, "tls"}, loop);
        std::optional<MacResult<void>> outcome;
        account->login("dave", "dave-password-12", [&](MacResult<void> result) { outcome = result; });
        ASSERT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, 60s));
        if (trusted) {
            EXPECT_TRUE(outcome->ok()) << outcome->failure().localizedDescription();
            EXPECT_EQ(account->devices().size(), 1u);
        } else {
            ASSERT_FALSE(outcome->ok());
            EXPECT_EQ(outcome->failure().localizedDescription().rfind("发生了 SSL 错误", 0), 0u)
                << outcome->failure().localizedDescription();
        }
    }
    std::filesystem::remove_all(folder);
}
