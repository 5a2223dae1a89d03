#include "account/MacLoginFlow.h"

#include "ScriptedHttpServer.h"
#include "base/MainQueue.h"
#include "store/KeyStore.h"

#include <gtest/gtest.h>
#include <map>

using namespace quorlinth;
using quorlinth::testing::ScriptedHttpServer;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPNG =
    "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk"
    "YPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==";

// Time that moves only when the test says so; due tasks run in order as it passes.
class ManualClock : public LoginClock {
public:
    double now() override { return time; }
    void after(double seconds, std::function<void()> task) override {
        due.emplace(time + seconds, std::move(task));
    }
    void advance(double seconds) {
        double end = time + seconds;
        while (!due.empty() && due.begin()->first <= end) {
            auto next = due.begin();
            time = next->first;
            auto task = std::move(next->second);
            due.erase(next);
            task();
        }
        time = end;
    }

private:
    double time = 1000;
    std::multimap<double, std::function<void()>> due;
};

std::string ok(const Json& body) {
    return ScriptedHttpServer::response(200, body.dump());
}

std::string captchaAnswer(const std::string& id = "c1") {
    return ok({{"captcha_id", id}, {"image", kPNG}});
}

std::string qrAnswer(const std::string& id, std::optional<int> expiresIn) {
    Json body{{"id", id}, {"poll_secret", "secret-" + id}, {"qr", "quorlinth://qr-login?id=" + id}};
    if (expiresIn) body["expires_in"] = *expiresIn;
    return ok(body);
}

class LoginFlowTest : public ::testing::Test {
protected:
    LoginFlowTest() : folder(quorlinth::testing::makeTemporaryFolder("quorlinth-login-flow-")) {
        account = MacAccount::create(
            std::make_shared<FileKeyStore>(folder / "keys.json"),
            {MacServiceConfig::single(server.baseURL()), [] { return 1'700'000'000; }, "测试机"}, loop);
        flow = newFlow();
    }
    ~LoginFlowTest() override { std::filesystem::remove_all(folder); }

    std::shared_ptr<MacLoginFlow> newFlow() { return MacLoginFlow::create(account, clock, {"测试机"}); }

    bool waitFor(const std::function<bool()>& condition) { return loop.runUntil(condition, 20s); }

    std::vector<std::string> paths() const {
        std::vector<std::string> seen;
        for (const auto& request : server.requests())
            seen.push_back(request.target);
        return seen;
    }

    // A flow with consent, in the SMS mode with a captcha answered.
    void prepareSMS(MacLoginFlow& target) {
        server.respond(captchaAnswer());
        target.setConsent(true);
        bool fetched = false;
        target.changeCaptcha([&](MacResult<void> done) { fetched = done.ok(); });
        ASSERT_TRUE(waitFor([&] { return fetched; }));
        target.phone = "13900000001";
        target.captchaAnswer = "12345";
    }

    RunLoop loop;
    ScriptedHttpServer server;
    std::filesystem::path folder;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<MacAccount> account;
    std::shared_ptr<MacLoginFlow> flow;
};

TEST_F(LoginFlowTest, EnablementRules) {
    prepareSMS(*flow);
    struct Case {
        const char* name;
        std::function<void(MacLoginFlow&)> change;
        bool login, sendCode, smsLogin, setupPassword;
    };
    const Case cases[] = {
        {"everything filled in", [](MacLoginFlow&) {}, true, true, true, true},
        {"no consent", [](MacLoginFlow& f) { f.setConsent(false); }, false, false, false, true},
        {"busy", [this](MacLoginFlow&) { account->setBusy(true); }, false, false, false, false},
        {"empty user name", [](MacLoginFlow& f) { f.username.clear(); }, false, true, true, true},
        {"empty password", [](MacLoginFlow& f) { f.password.clear(); }, false, true, true, true},
        {"10-digit phone", [](MacLoginFlow& f) { f.phone = "1390000000"; }, true, false, true, true},
        {"12-digit phone", [](MacLoginFlow& f) { f.phone = "139000000012"; }, true, false, true, true},
        {"no captcha answer", [](MacLoginFlow& f) { f.captchaAnswer.clear(); }, true, false, true, true},
        {"5-character code", [](MacLoginFlow& f) { f.code = "12345"; }, true, true, false, true},
        {"7-character code", [](MacLoginFlow& f) { f.code = "1234567"; }, true, true, false, true},
        {"6 characters, not bytes", [](MacLoginFlow& f) { f.code = "一二三四五六"; }, true, true, true, true},
        {"11-byte password",
         [](MacLoginFlow& f) { f.newPassword = f.confirmPassword = std::string(11, 'p'); }, true, true, true,
         false},
        {"12-byte password",
         [](MacLoginFlow& f) { f.newPassword = f.confirmPassword = std::string(12, 'p'); }, true, true, true,
         true},
        {"72-byte password",
         [](MacLoginFlow& f) { f.newPassword = f.confirmPassword = std::string(72, 'p'); }, true, true, true,
         true},
        {"73-byte password",
         [](MacLoginFlow& f) { f.newPassword = f.confirmPassword = std::string(73, 'p'); }, true, true, true,
         false},
        {"four Chinese characters are 12 bytes",
         [](MacLoginFlow& f) { f.newPassword = f.confirmPassword = "四个汉字"; }, true, true, true, true},
        {"passwords differ", [](MacLoginFlow& f) { f.confirmPassword = "something else"; }, true, true, true,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        account->setBusy(false);
        flow->setConsent(true);
        flow->username = "alice";
        flow->password = "secret";
        flow->phone = "13900000001";
        flow->captchaAnswer = "12345";
        flow->code = "123456";
        flow->newPassword = flow->confirmPassword = "a long password";
        c.change(*flow);
        EXPECT_EQ(flow->canLogin(), c.login);
        EXPECT_EQ(flow->canSendCode(), c.sendCode);
        EXPECT_EQ(flow->canSmsLogin(), c.smsLogin);
        EXPECT_EQ(flow->canSetupPassword(), c.setupPassword);
        EXPECT_EQ(flow->canRefreshQR(), flow->consent() && !account->busy());
        EXPECT_EQ(flow->canChangeCaptcha(), !account->busy());
    }
    account->setBusy(false);
}

TEST_F(LoginFlowTest, ResendCountdown) {
    struct Case {
        const char* name;
        Json answer;
        double elapsed;
        std::string label;
    };
    const Case cases[] = {
        {"the service's wait", {{"resend_after", 90}}, 0, "90 秒后重发"},
        {"rounded up: 59.2 seconds left show 60", {{"resend_after", 90}}, 30.8, "60 秒后重发"},
        {"no wait given: 60 seconds", Json::object(), 0, "60 秒后重发"},
        {"a wait that is not an integer: 60 seconds", {{"resend_after", "90"}}, 0, "60 秒后重发"},
        {"over", {{"resend_after", 90}}, 90, "发送验证码"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto sender = newFlow();
        prepareSMS(*sender);
        size_t before = server.requests().size();
        server.respond(ok(c.answer));
        server.respond(captchaAnswer("c2"));
        std::optional<MacResult<void>> sent;
        sender->sendCode([&](MacResult<void> done) { sent = done; });
        ASSERT_TRUE(waitFor([&] { return sent && sender->captchaID() == "c2"; }));
        ASSERT_TRUE(sent->ok());
        EXPECT_EQ(account->message(), "验证码已发送，请查看手机短信");
        EXPECT_FALSE(account->busy());
        auto request = server.requests()[before];
        EXPECT_EQ(request.target, "/v1/auth/sms-code");
        EXPECT_EQ(Json::parse(request.body), (Json{{"phone", "13900000001"},
                                                   {"purpose", "login"},
                                                   {"captcha_id", "c1"},
                                                   {"captcha_answer", "12345"}}));
        EXPECT_TRUE(sender->captchaAnswer.empty()) << "the used captcha was replaced";

        clock->advance(c.elapsed);
        EXPECT_EQ(sender->sendCodeLabel(), c.label);
        sender->captchaAnswer = "54321";
        EXPECT_EQ(sender->canSendCode(), c.label == "发送验证码");
    }
}

TEST_F(LoginFlowTest, ServiceFailuresBecomeTheMessage) {
    prepareSMS(*flow);
    server.respond(ScriptedHttpServer::response(400, R"({"error":"captcha_invalid"})"));
    server.respond(captchaAnswer("c2"));
    std::optional<MacResult<void>> sent;
    flow->sendCode([&](MacResult<void> done) { sent = done; });
    ASSERT_TRUE(waitFor([&] { return sent && flow->captchaID() == "c2"; }));
    EXPECT_EQ(account->message(), "图形验证码不正确，请刷新");
    EXPECT_EQ(flow->sendCodeLabel(), "发送验证码") << "no countdown after a refusal";
    EXPECT_FALSE(account->busy());

    flow->username = "alice";
    flow->password = "wrong";
    server.respond(ScriptedHttpServer::response(401, R"({"error":"invalid_credentials"})"));
    std::optional<MacResult<void>> login;
    flow->login([&](MacResult<void> done) { login = done; });
    EXPECT_TRUE(account->busy());
    bool second = false;
    flow->login([&](MacResult<void> done) { second = done.failure().isCancelled(); });
    EXPECT_TRUE(second) << "one action at a time";
    ASSERT_TRUE(waitFor([&] { return login.has_value(); }));
    EXPECT_EQ(account->message(), "账号或密码不正确");
    EXPECT_FALSE(account->busy());
}

TEST_F(LoginFlowTest, CaptchaComesWithTheSmsModeAndChecksThePicture) {
    flow->shown();
    loop.runFor(100ms);
    EXPECT_TRUE(paths().empty()) << "no captcha in the password mode";

    server.respond(captchaAnswer("c7"));
    bool busySeen = false;
    flow->onChange = [&] { busySeen = busySeen || account->busy(); };
    flow->captchaAnswer = "old";
    flow->setMode(MacLoginFlow::Mode::sms);
    ASSERT_TRUE(waitFor([&] { return flow->captchaID() == "c7"; }));
    EXPECT_FALSE(busySeen);
    ASSERT_TRUE(flow->captchaImage());
    EXPECT_EQ((*flow->captchaImage())[1], 'P');
    EXPECT_TRUE(flow->captchaAnswer.empty());

    const std::string invalid[] = {
        ok({{"captcha_id", "c8"}, {"image", "data:image/jpeg;base64,iVBORw0KGgo="}}),
        ok({{"captcha_id", "c8"}, {"image", "data:image/png;base64,not base64"}}),
        ok({{"captcha_id", "c8"}, {"image", "data:image/png;base64,aGVsbG8gd29ybGQ="}}), // not a PNG
        ok({{"image", kPNG}}),
        ok({{"captcha_id", 8}, {"image", kPNG}}),
    };
    for (const auto& answer : invalid) {
        SCOPED_TRACE(answer);
        account->setMessage("");
        server.respond(answer);
        std::optional<MacResult<void>> fetched;
        flow->changeCaptcha([&](MacResult<void> done) { fetched = done; });
        ASSERT_TRUE(waitFor([&] { return fetched.has_value(); }));
        EXPECT_FALSE(fetched->ok());
        EXPECT_EQ(account->message(), "图形验证码无效");
        EXPECT_EQ(flow->captchaID(), "c7") << "the previous captcha stays";
    }
}

TEST_F(LoginFlowTest, QrCodeIsPolledEveryTwoSecondsUntilItExpires) {
    flow->setMode(MacLoginFlow::Mode::qr);
    flow->setConsent(true);
    flow->shown();
    loop.runFor(100ms);
    EXPECT_TRUE(paths().empty()) << "no code before the first request for one";

    server.respond(qrAnswer("q1", 5));
    for (int i = 0; i < 3; ++i)
        server.respond(ok({{"status", "pending"}, {"expires_in", 5 - 2 * (i + 1)}}));
    flow->refreshQR();
    ASSERT_TRUE(waitFor([&] { return flow->qrCode().has_value(); }));
    EXPECT_EQ(*flow->qrCode(), "quorlinth://qr-login?id=q1");
    EXPECT_EQ(Json::parse(server.requests()[0].body), (Json{{"name", "测试机"}}));
    EXPECT_EQ(flow->qrSeconds(), 5);
    EXPECT_EQ(flow->qrValidityText(), "5 秒内有效");

    clock->advance(1.5);
    loop.runFor(50ms);
    EXPECT_EQ(server.requests().size(), 1u) << "the first poll waits 2 seconds";
    clock->advance(0.5);
    ASSERT_TRUE(waitFor([&] { return flow->qrSeconds() == 3; }));
    EXPECT_EQ(Json::parse(server.requests()[1].body), (Json{{"id", "q1"}, {"secret", "secret-q1"}}));
    clock->advance(2);
    ASSERT_TRUE(waitFor([&] { return flow->qrSeconds() == 1; }));
    clock->advance(2);
    ASSERT_TRUE(waitFor([&] { return !flow->qrRunning(); }));
    EXPECT_FALSE(flow->qrCode());
    EXPECT_EQ(flow->qrValidityText(), "");
    EXPECT_EQ(account->message(), "二维码已过期，请刷新");
    clock->advance(10);
    loop.runFor(50ms);
    EXPECT_EQ(paths(), (std::vector<std::string>{"/v1/auth/qr", "/v1/auth/qr/poll", "/v1/auth/qr/poll",
                                                 "/v1/auth/qr/poll"}));
}

TEST_F(LoginFlowTest, QrCodeDefaultsTo180SecondsAndReportsADenial) {
    flow->setMode(MacLoginFlow::Mode::qr);
    flow->setConsent(true);
    flow->shown();
    server.respond(qrAnswer("q1", std::nullopt));
    server.respond(ok({{"status", "denied"}}));
    flow->refreshQR();
    ASSERT_TRUE(waitFor([&] { return flow->qrCode().has_value(); }));
    EXPECT_EQ(flow->qrSeconds(), 180);
    clock->advance(2);
    ASSERT_TRUE(waitFor([&] { return !flow->qrRunning(); }));
    EXPECT_FALSE(flow->qrCode());
    EXPECT_EQ(account->message(), "手机已拒绝登录，请刷新");
}

TEST_F(LoginFlowTest, QrFailures) {
    struct Case {
        const char* name;
        std::string answer;
        std::string message;
    };
    const Case cases[] = {
        {"no poll secret", ok({{"id", "q1"}, {"qr", "quorlinth://qr-login?id=q1"}}), "二维码响应无效"},
        {"empty code", ok({{"id", "q1"}, {"poll_secret", "s"}, {"qr", ""}}), "二维码响应无效"},
        {"too much for a code", ok({{"id", "q1"}, {"poll_secret", "s"}, {"qr", std::string(3000, 'x')}}),
         "二维码响应无效"},
        {"refused", ScriptedHttpServer::response(500, "{}"), "请求失败（500，request_failed）"},
    };
    flow->setMode(MacLoginFlow::Mode::qr);
    flow->setConsent(true);
    flow->shown();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.respond(c.answer);
        flow->refreshQR();
        ASSERT_TRUE(waitFor([&] { return !flow->qrRunning(); }));
        EXPECT_FALSE(flow->qrCode());
        EXPECT_EQ(account->message(), c.message);
    }
}

TEST_F(LoginFlowTest, QrFlowFollowsConsentModeAndRefresh) {
    flow->setMode(MacLoginFlow::Mode::qr);
    flow->shown();
    flow->refreshQR();
    EXPECT_EQ(flow->qrRevision(), 0) << "the button is disabled without consent";

    flow->setConsent(true);
    server.respond(qrAnswer("q1", 100));
    flow->refreshQR();
    ASSERT_TRUE(waitFor([&] { return flow->qrCode() == "quorlinth://qr-login?id=q1"; }));

    flow->setConsent(false);
    EXPECT_FALSE(flow->qrRunning());
    clock->advance(4);
    loop.runFor(50ms);
    EXPECT_EQ(server.requests().size(), 1u) << "clearing consent stops the polls";

    server.respond(qrAnswer("q2", 100));
    flow->setConsent(true);
    ASSERT_TRUE(waitFor([&] { return flow->qrCode() == "quorlinth://qr-login?id=q2"; }))
        << "consent again with a revision of at least 1 makes a new code at once";

    server.respond(qrAnswer("q3", 100));
    server.respond(ok({{"status", "pending"}}));
    flow->refreshQR();
    ASSERT_TRUE(waitFor([&] { return flow->qrCode() == "quorlinth://qr-login?id=q3"; }));
    clock->advance(2);
    ASSERT_TRUE(waitFor([&] { return server.requests().size() == 4; }));
    EXPECT_EQ(Json::parse(server.requests()[3].body)["id"], "q3") << "only the newest code is polled";

    flow->setMode(MacLoginFlow::Mode::password);
    clock->advance(10);
    loop.runFor(50ms);
    EXPECT_EQ(server.requests().size(), 4u) << "leaving the mode stops the flow";
    flow->hidden();
    server.respond(qrAnswer("q4", 100));
    flow->setMode(MacLoginFlow::Mode::qr);
    loop.runFor(50ms);
    EXPECT_EQ(server.requests().size(), 4u) << "nothing runs while the screen is hidden";
}

TEST(QrLoginID, AcceptsTheCodeOrItsId) {
    struct Case {
        const char* scanned;
        std::optional<std::string> id;
    };
    const Case cases[] = {
        {"quorlinth://qr-login?id=abc_DEF-123", "abc_DEF-123"},
        {"abc123", "abc123"},
        {"quorlinth://qr-login?id=", std::nullopt},
        {"", std::nullopt},
        {"quorlinth://qr-login?id=a&b=c", std::nullopt},
        {"a b", std::nullopt},
        {"../x", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scanned);
        EXPECT_EQ(qrLoginID(c.scanned), c.id);
    }
}

} // namespace
