#pragma once

#include "account/MacLoginFlow.h"

#include <QWidget>
#include <memory>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace quorlinth {

class AccountSignals;

// The sign-in screen: a view of MacLoginFlow. It copies the fields into the flow as typed and
// takes every enablement, label and timer from it.
class MacLoginView : public QWidget {
    Q_OBJECT
public:
    MacLoginView(AccountSignals& account, std::shared_ptr<LoginClock> clock, QWidget* parent = nullptr);
    ~MacLoginView() override;

    MacLoginFlow& flow() const { return *login; }

    // Controls by role, for tests and keyboard focus.
    QLineEdit* usernameField() const { return username; }
    QLineEdit* passwordField() const { return password; }
    QLineEdit* phoneField() const { return phone; }
    QLineEdit* codeField() const { return code; }
    QLineEdit* captchaField() const { return captchaAnswer; }
    QLineEdit* newPasswordField() const { return newPassword; }
    QLineEdit* confirmPasswordField() const { return confirmPassword; }
    QCheckBox* consentBox() const { return consent; }
    QPushButton* loginButton() const { return loginButtonWidget; }
    QPushButton* sendCodeButton() const { return sendCode; }
    QPushButton* smsLoginButton() const { return smsLogin; }
    QPushButton* changeCaptchaButton() const { return changeCaptcha; }
    QPushButton* refreshQRButton() const { return refreshQR; }
    QPushButton* setupButton() const { return setup; }
    QPushButton* leaveSetupButton() const { return leaveSetup; }
    void selectMode(MacLoginFlow::Mode mode);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* buildModes();
    QWidget* buildPasswordMode();
    QWidget* buildSmsMode();
    QWidget* buildQRMode();
    QWidget* buildSetup();
    void refresh();
    void fillAccountMenu();

    AccountSignals& account;
    std::shared_ptr<MacLoginFlow> login;

    QStackedWidget* pages = nullptr; // sign-in modes or password setup
    QStackedWidget* modePages = nullptr;
    QButtonGroup* modeButtons = nullptr;
    QLineEdit* username = nullptr;
    QLineEdit* password = nullptr;
    QLineEdit* phone = nullptr;
    QLineEdit* code = nullptr;
    QLineEdit* captchaAnswer = nullptr;
    QLineEdit* newPassword = nullptr;
    QLineEdit* confirmPassword = nullptr;
    QCheckBox* consent = nullptr;
    QPushButton* loginButtonWidget = nullptr;
    QPushButton* sendCode = nullptr;
    QPushButton* smsLogin = nullptr;
    QPushButton* changeCaptcha = nullptr;
    QPushButton* refreshQR = nullptr;
    QPushButton* setup = nullptr;
    QPushButton* leaveSetup = nullptr;
    QToolButton* accountMenu = nullptr;
    QLabel* captchaPicture = nullptr;
    QLabel* qrPicture = nullptr;
    QLabel* qrValidity = nullptr;
    QLabel* message = nullptr;
};

} // namespace quorlinth
