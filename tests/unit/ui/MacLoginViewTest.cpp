#include "ui/MacLoginView.h"

#include "QtTestApplication.h"
#include "ScriptedHttpServer.h"
#include "account/MacAccount.h"
#include "account/MacLoginFlow.h"
#include "base/MainQueue.h"
#include "store/KeyStore.h"
#include "ui/AccountSignals.h"

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

// Time stands still unless the test moves it; delayed tasks are kept, never run.
class StillClock : public LoginClock {
public:
    double now() override { return seconds; }
    void after(double, std::function<void()>) override {}
    double seconds = 1000;
};

// A signed-out account (its service is never reached) under the sign-in screen.
class LoginScreen : public ::testing::Test {
protected:
    LoginScreen() : folder(quorlinth::testing::makeTemporaryFolder("quorlinth-ui-login-")) {
        quorlinth::testing::qtApplication();
        installMainQueue(&loop);
        account = MacAccount::create(std::make_shared<FileKeyStore>(folder / "keys.json"),
                                     {MacServiceConfig::single("http://127.0.0.1:9"), {}, "测试机"}, loop);
        published = std::make_unique<AccountSignals>(account);
        view = std::make_unique<MacLoginView>(*published, std::make_shared<StillClock>());
    }
    ~LoginScreen() override {
        view.reset();
        published.reset();
        account.reset();
        std::filesystem::remove_all(folder);
    }

    std::filesystem::path folder;
    RunLoop loop;
    std::shared_ptr<MacAccount> account;
    std::unique_ptr<AccountSignals> published;
    std::unique_ptr<MacLoginView> view;
};

} // namespace

TEST_F(LoginScreen, PasswordSignInNeedsConsentAndBothFields) {
    struct Case {
        const char* what;
        bool consent;
        const char* username;
        const char* password;
        bool enabled;
    };
    const Case cases[] = {
        {"both fields without consent", false, "alice", "secret", false},
        {"both fields with consent", true, "alice", "secret", true},
        {"no password", true, "alice", "", false},
        {"no user name", true, "", "secret", false},
        {"spaces count as typed", true, " ", " ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        view->consentBox()->setChecked(c.consent);
        view->usernameField()->setText(QString::fromUtf8(c.username));
        view->passwordField()->setText(QString::fromUtf8(c.password));
        EXPECT_EQ(view->flow().consent(), c.consent);
        EXPECT_EQ(view->loginButton()->isEnabled(), c.enabled);
    }
}

TEST_F(LoginScreen, SmsControlsFollowTheirLengths) {
    view->selectMode(MacLoginFlow::Mode::sms);
    view->consentBox()->setChecked(true);
    struct Case {
        const char* what;
        const char* phone;
        const char* captcha;
        const char* code;
        bool smsLogin;
    };
    // No captcha was issued (the service is unreachable), so sending stays off in every case.
    const Case cases[] = {
        {"10-digit phone", "1380013800", "ab12", "12345", false},
        {"12-digit phone", "138001380001", "ab12", "1234567", false},
        {"11 digits, empty captcha answer", "13800138000", "", "123456", true},
        {"six-character code", "13800138000", "ab12", "123456", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        view->phoneField()->setText(QString::fromUtf8(c.phone));
        view->captchaField()->setText(QString::fromUtf8(c.captcha));
        view->codeField()->setText(QString::fromUtf8(c.code));
        EXPECT_FALSE(view->sendCodeButton()->isEnabled());
        EXPECT_EQ(view->sendCodeButton()->text(), QStringLiteral("发送验证码"));
        EXPECT_EQ(view->smsLoginButton()->isEnabled(), c.smsLogin);
    }
    view->consentBox()->setChecked(false);
    EXPECT_FALSE(view->smsLoginButton()->isEnabled());
}

TEST_F(LoginScreen, PasswordSetupCountsUtf8Bytes) {
    struct Case {
        const char* what;
        std::string password;
        std::string confirmation;
        bool enabled;
    };
    const Case cases[] = {
        {"11 bytes", std::string(11, 'a'), std::string(11, 'a'), false},
        {"12 bytes", std::string(12, 'a'), std::string(12, 'a'), true},
        {"72 bytes", std::string(72, 'a'), std::string(72, 'a'), true},
        {"73 bytes", std::string(73, 'a'), std::string(73, 'a'), false},
        {"four Chinese characters are 12 bytes", "密码安全", "密码安全", true},
        {"fields differ", std::string(12, 'a'), std::string(12, 'b'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        view->newPasswordField()->setText(QString::fromStdString(c.password));
        view->confirmPasswordField()->setText(QString::fromStdString(c.confirmation));
        EXPECT_EQ(view->setupButton()->isEnabled(), c.enabled);
    }
}

TEST_F(LoginScreen, QRNeedsConsentAndABusyAccountDisablesEveryAction) {
    view->selectMode(MacLoginFlow::Mode::qr);
    EXPECT_FALSE(view->refreshQRButton()->isEnabled());
    view->consentBox()->setChecked(true);
    EXPECT_TRUE(view->refreshQRButton()->isEnabled());

    view->usernameField()->setText(QStringLiteral("alice"));
    view->passwordField()->setText(QStringLiteral("secret"));
    view->codeField()->setText(QStringLiteral("123456"));
    account->setBusy(true);
    for (QPushButton* button : {view->loginButton(), view->smsLoginButton(), view->changeCaptchaButton(),
                                view->refreshQRButton(), view->leaveSetupButton()})
        EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    account->setBusy(false);
    EXPECT_TRUE(view->loginButton()->isEnabled());
}

// Tab alone walks the password sign-in in reading order: user name, password, the sign-in
// button, the consent under the form, and on to the mode switcher.
TEST_F(LoginScreen, TabWalksThePasswordSignInInReadingOrder) {
    view->show();
    view->consentBox()->setChecked(true);
    view->usernameField()->setText(QStringLiteral("alice"));
    view->passwordField()->setText(QStringLiteral("secret"));
    view->usernameField()->setFocus();
    std::vector<QWidget*> reached = {view->focusWidget()};
    for (int step = 0; step < 12; ++step) {
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(view->focusWidget(), &tab);
        reached.push_back(view->focusWidget());
    }
    auto position = [&](QWidget* widget) {
        return std::find(reached.begin(), reached.end(), widget) - reached.begin();
    };
    std::vector<QWidget*> order = {view->usernameField(), view->passwordField(), view->loginButton(),
                                   view->consentBox()};
    for (size_t index = 0; index < order.size(); ++index) {
        SCOPED_TRACE(index);
        ASSERT_LT(position(order[index]), long(reached.size())) << "never reached";
        if (index > 0) EXPECT_LT(position(order[index - 1]), position(order[index]));
    }
}
