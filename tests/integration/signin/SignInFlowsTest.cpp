// The sign-in screen's flows against the real quorlinth-service (development mode, loopback):
// SMS behind the picture captcha, password setup after an SMS sign-up, QR approved from a second
// signed-in device, and the failure texts the user reads.
#include "ServiceProcess.h"
#include "account/MacLoginFlow.h"
#include "base/MainQueue.h"
#include "store/KeyStore.h"

#include <chrono>
#include <gtest/gtest.h>
#include <regex>

using namespace quorlinth;
using quorlinth::testing::ServiceProcess;
using quorlinth::testing::TempDir;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUser = "alice";
constexpr const char* kPassword = "alice-password-1";
constexpr const char* kPhone = "13800000001";

class SignInFlows : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.started()) << quorlinth::testing::serviceBinary();
        ASSERT_TRUE(service.addUser(kUser, kPassword, kPhone));
    }

    // Another installation of the application: its own key store and name.
    std::shared_ptr<MacAccount> machine(const std::string& name) {
        auto keys = std::make_shared<FileKeyStore>(dir.path() / "machines" / name / "keys.json");
        return MacAccount::create(keys, {MacServiceConfig::single(service.baseUrl()), {}, name}, loop);
    }

    // A sign-in screen on `account` with the consent box ticked, shown in `mode`.
    std::shared_ptr<MacLoginFlow> screen(const std::shared_ptr<MacAccount>& account,
                                         MacLoginFlow::Mode mode) {
        auto flow = MacLoginFlow::create(account, clock, {"书房的 Mac"});
        flow->setConsent(true);
        flow->setMode(mode);
        flow->shown();
        return flow;
    }

    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s) {
        return loop.runUntil(condition, timeout);
    }

    // Runs one action of the screen to its end.
    MacResult<void> finish(const std::function<void(MacLoginFlow::Done)>& action) {
        std::optional<MacResult<void>> outcome;
        action([&](MacResult<void> done) { outcome = std::move(done); });
        EXPECT_TRUE(waitFor([&] { return outcome.has_value(); }));
        return outcome.value_or(MacFailure::message("no answer"));
    }

    MacResult<Json> dev(const std::string& method, const std::string& path,
                        const std::optional<Json>& body = std::nullopt) {
        MacHTTP http(MacServiceConfig::single(service.baseUrl()), loop);
        std::optional<MacResult<Json>> outcome;
        http.request(service.baseUrl(), path, method, "", body,
                     [&](MacResult<Json> done) { outcome = done; });
        EXPECT_TRUE(waitFor([&] { return outcome.has_value(); }));
        return outcome.value_or(MacFailure::message("no answer"));
    }

    // Fills in the captcha the screen shows with the service's own answer.
    void solveCaptcha(MacLoginFlow& flow, bool correctly = true) {
        ASSERT_TRUE(waitFor([&] { return !flow.captchaID().empty(); })) << "the captcha comes by itself";
        auto answer = dev("GET", "/v1/dev/captchas/" + flow.captchaID());
        ASSERT_TRUE(answer.ok());
        flow.captchaAnswer = correctly ? field::string(answer.value(), "answer", "") : "0";
    }

    std::string lastSmsCode(const std::string& phone) {
        auto outbox = dev("GET", "/v1/dev/outbox");
        std::string code;
        std::smatch digits;
        static const std::regex sixDigits("(^|\\D)(\\d{6})(\\D|$)");
        for (const Json& message :
             outbox.ok() ? outbox.value().value("messages", Json::array()) : Json::array()) {
            std::string text = field::string(message, "text", "");
            if (field::string(message, "phone") == phone && std::regex_search(text, digits, sixDigits))
                code = digits[2];
        }
        return code;
    }

    void advanceServiceClock(int64_t seconds) {
        ASSERT_TRUE(dev("POST", "/v1/dev/clock", Json{{"advance", seconds}}).ok());
    }

    // Requests a code for `phone` on the screen and signs in with it.
    MacResult<void> signInBySms(MacLoginFlow& flow, const std::string& phone) {
        solveCaptcha(flow);
        flow.phone = phone;
        auto sent = finish([&](auto done) { flow.sendCode(done); });
        if (!sent) return sent;
        flow.code = lastSmsCode(phone);
        return finish([&](auto done) { flow.smsLogin(done); });
    }

    RunLoop loop;
    TempDir dir;
    ServiceProcess service{dir, {}};
    std::shared_ptr<DispatcherLoginClock> clock = std::make_shared<DispatcherLoginClock>(loop);
};

TEST_F(SignInFlows, SmsWithCaptchaSignsInAnAccountThatHasAPassword) {
    auto mac = machine("mac");
    auto flow = screen(mac, MacLoginFlow::Mode::sms);
    solveCaptcha(*flow);
    flow->phone = kPhone;
    ASSERT_TRUE(flow->canSendCode());
    auto sent = finish([&](auto done) { flow->sendCode(done); });
    ASSERT_TRUE(sent.ok()) << sent.failure().localizedDescription();
    EXPECT_EQ(mac->message(), "验证码已发送，请查看手机短信");
    EXPECT_EQ(flow->sendCodeLabel(), "60 秒后重发");
    EXPECT_FALSE(flow->canSendCode());

    flow->code = lastSmsCode(kPhone);
    ASSERT_EQ(flow->code.size(), 6u);
    auto signedIn = finish([&](auto done) { flow->smsLogin(done); });
    ASSERT_TRUE(signedIn.ok()) << signedIn.failure().localizedDescription();
    ASSERT_TRUE(mac->credentials());
    EXPECT_EQ(mac->credentials()->username, kUser);
    EXPECT_FALSE(flow->showsPasswordSetup());
    EXPECT_FALSE(mac->busy());
}

TEST_F(SignInFlows, NewPhoneSetsAPasswordAfterSmsAndSignsInWithIt) {
    const std::string phone = "13900000007";
    auto mac = machine("mac");
    auto flow = screen(mac, MacLoginFlow::Mode::sms);
    auto pending = signInBySms(*flow, phone);
    ASSERT_TRUE(pending.ok()) << pending.failure().localizedDescription();
    ASSERT_TRUE(flow->showsPasswordSetup());
    EXPECT_FALSE(mac->credentials()) << "not signed in before the password is set";

    flow->newPassword = flow->confirmPassword = std::string(11, 'p');
    EXPECT_FALSE(flow->canSetupPassword());
    flow->newPassword = flow->confirmPassword = "一个足够长的密码";
    ASSERT_TRUE(flow->canSetupPassword());
    auto set = finish([&](auto done) { flow->setupPassword(done); });
    ASSERT_TRUE(set.ok()) << set.failure().localizedDescription();
    EXPECT_FALSE(flow->showsPasswordSetup());
    ASSERT_TRUE(mac->credentials());
    EXPECT_EQ(mac->credentials()->username, phone);
    EXPECT_EQ(mac->message(), "");

    // The new password works on another machine, with the phone number as the user name.
    auto laptop = machine("laptop");
    auto other = screen(laptop, MacLoginFlow::Mode::password);
    other->username = phone;
    other->password = "一个足够长的密码";
    auto login = finish([&](auto done) { other->login(done); });
    ASSERT_TRUE(login.ok()) << login.failure().localizedDescription();
    EXPECT_EQ(laptop->credentials()->username, phone);

    // Signed out, the menu stays for the account saved on this machine.
    EXPECT_TRUE(other->showsAccountMenu());
    bool loggedOut = false;
    other->logout([&] { loggedOut = true; });
    ASSERT_TRUE(waitFor([&] { return loggedOut; }));
    EXPECT_FALSE(laptop->credentials());
    EXPECT_FALSE(other->showsAccountMenu()) << "signing out forgets the account on this machine";
    EXPECT_TRUE(flow->showsAccountMenu());
}

TEST_F(SignInFlows, LeavingThePasswordSetupReturnsToThePasswordMode) {
    auto mac = machine("mac");
    auto flow = screen(mac, MacLoginFlow::Mode::sms);
    ASSERT_TRUE(signInBySms(*flow, "13900000008").ok());
    ASSERT_TRUE(flow->showsPasswordSetup());
    flow->newPassword = "typed";
    flow->leavePasswordSetup();
    EXPECT_FALSE(flow->showsPasswordSetup());
    EXPECT_FALSE(mac->pendingSMS());
    EXPECT_EQ(flow->mode(), MacLoginFlow::Mode::password);
    EXPECT_TRUE(flow->newPassword.empty());
    EXPECT_FALSE(mac->credentials());
}

TEST_F(SignInFlows, QrApprovedFromASecondSignedInDevice) {
    auto phone = machine("phone");
    auto signedIn = finish([&](auto done) { phone->login(kUser, kPassword, done); });
    ASSERT_TRUE(signedIn.ok()) << signedIn.failure().localizedDescription();

    auto mac = machine("mac");
    auto flow = screen(mac, MacLoginFlow::Mode::qr);
    flow->refreshQR();
    ASSERT_TRUE(waitFor([&] { return flow->qrCode().has_value(); }));
    EXPECT_EQ(flow->qrSeconds(), 180);
    auto id = qrLoginID(*flow->qrCode());
    ASSERT_TRUE(id);

    std::optional<MacResult<std::string>> approved;
    approveQRLogin(phone, *id, true, [&](MacResult<std::string> done) { approved = done; });
    ASSERT_TRUE(waitFor([&] { return approved.has_value(); }));
    ASSERT_TRUE(approved->ok()) << approved->failure().localizedDescription();
    EXPECT_EQ(approved->value(), "书房的 Mac") << "the phone shows the Mac's name before approving";

    ASSERT_TRUE(waitFor([&] { return mac->credentials().has_value() && !flow->qrRunning(); }));
    EXPECT_EQ(mac->credentials()->username, kUser);
    EXPECT_FALSE(flow->qrCode());
    EXPECT_EQ(mac->message(), "");

    std::optional<MacResult<std::string>> again;
    approveQRLogin(phone, *id, true, [&](MacResult<std::string> done) { again = done; });
    ASSERT_TRUE(waitFor([&] { return again.has_value(); }));
    ASSERT_FALSE(again->ok());
    EXPECT_EQ(again->failure().localizedDescription(), "二维码已处理，请刷新");
}

TEST_F(SignInFlows, QrDeniedOrExpired) {
    auto phone = machine("phone");
    ASSERT_TRUE(finish([&](auto done) { phone->login(kUser, kPassword, done); }).ok());
    auto mac = machine("mac");
    auto flow = screen(mac, MacLoginFlow::Mode::qr);

    flow->refreshQR();
    ASSERT_TRUE(waitFor([&] { return flow->qrCode().has_value(); }));
    std::optional<MacResult<std::string>> denied;
    approveQRLogin(phone, *qrLoginID(*flow->qrCode()), false,
                   [&](MacResult<std::string> done) { denied = done; });
    ASSERT_TRUE(waitFor([&] { return denied.has_value() && !flow->qrRunning(); }));
    EXPECT_EQ(mac->message(), "手机已拒绝登录，请刷新");
    EXPECT_FALSE(flow->qrCode());

    flow->refreshQR();
    ASSERT_TRUE(waitFor([&] { return flow->qrCode().has_value(); }));
    advanceServiceClock(181);
    ASSERT_TRUE(waitFor([&] { return !flow->qrRunning(); }));
    EXPECT_EQ(mac->message(), "二维码已过期，请刷新");
    EXPECT_FALSE(flow->qrCode());
    EXPECT_FALSE(mac->credentials());
}

TEST_F(SignInFlows, FailureTexts) {
    auto mac = machine("mac");

    auto password = screen(mac, MacLoginFlow::Mode::password);
    password->username = kUser;
    password->password = "wrong password";
    EXPECT_FALSE(finish([&](auto done) { password->login(done); }).ok());
    EXPECT_EQ(mac->message(), "账号或密码不正确");

    auto flow = screen(mac, MacLoginFlow::Mode::sms);
    solveCaptcha(*flow, false);
    flow->phone = kPhone;
    EXPECT_FALSE(finish([&](auto done) { flow->sendCode(done); }).ok());
    EXPECT_EQ(mac->message(), "图形验证码不正确，请刷新");
    EXPECT_EQ(flow->sendCodeLabel(), "发送验证码");

    ASSERT_TRUE(waitFor([&] { return flow->captchaAnswer.empty() && !flow->captchaID().empty(); }));
    solveCaptcha(*flow);
    ASSERT_TRUE(finish([&](auto done) { flow->sendCode(done); }).ok());
    std::string code = lastSmsCode(kPhone);
    flow->code = code == "000000" ? "111111" : "000000";
    EXPECT_FALSE(finish([&](auto done) { flow->smsLogin(done); }).ok());
    EXPECT_EQ(mac->message(), "验证码不正确");

    // The screen opened again forgets its countdown; the service still refuses a second code.
    auto reopened = screen(mac, MacLoginFlow::Mode::sms);
    solveCaptcha(*reopened);
    reopened->phone = kPhone;
    EXPECT_FALSE(finish([&](auto done) { reopened->sendCode(done); }).ok());
    EXPECT_EQ(mac->message(), "验证码发送过于频繁，请稍后重试");

    advanceServiceClock(6 * 60);
    flow->code = code;
    EXPECT_FALSE(finish([&](auto done) { flow->smsLogin(done); }).ok());
    EXPECT_EQ(mac->message(), "验证码已过期");
}

TEST_F(SignInFlows, PasswordSetupTooLate) {
    auto mac = machine("mac");
    auto flow = screen(mac, MacLoginFlow::Mode::sms);
    ASSERT_TRUE(signInBySms(*flow, "13900000009").ok());
    ASSERT_TRUE(flow->showsPasswordSetup());
    advanceServiceClock(16 * 60);
    flow->newPassword = flow->confirmPassword = "a long enough password";
    EXPECT_FALSE(finish([&](auto done) { flow->setupPassword(done); }).ok());
    EXPECT_EQ(mac->message(), "设置密码的验证已过期，请重新登录");
    EXPECT_FALSE(mac->credentials());
}

} // namespace
