#include "ui/MacLoginView.h"

#include "account/MacAccount.h"
#include "base/PlatformWords.h"
#include "ui/AccountSignals.h"
#include "ui/QRImage.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace quorlinth {

namespace {

constexpr int kFormWidth = 420;
constexpr int kCaptchaWidth = 160, kCaptchaHeight = 60;
constexpr int kQRSide = 240;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QLineEdit* textField(const char* placeholder, bool secret = false) {
    auto* edit = new QLineEdit;
    edit->setPlaceholderText(QString::fromUtf8(placeholder));
    if (secret) edit->setEchoMode(QLineEdit::Password);
    return edit;
}

// Keeps a flow field equal to what is typed, then lets the view re-derive its state.
void bindField(QLineEdit* edit, std::string& target, const std::function<void()>& changed) {
    QObject::connect(edit, &QLineEdit::textChanged, edit, [&target, changed](const QString& text) {
        target = text.toStdString();
        changed();
    });
}

} // namespace

MacLoginView::MacLoginView(AccountSignals& account, std::shared_ptr<LoginClock> clock, QWidget* parent)
    : QWidget(parent), account(account), login(MacLoginFlow::create(account.shared(), std::move(clock))) {
    auto* title = new QLabel(QStringLiteral("登录 Quorlinth"));
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    title->setFont(big);

    pages = new QStackedWidget;
    pages->addWidget(buildModes());
    pages->addWidget(buildSetup());

    message = new QLabel;
    message->setWordWrap(true);
    message->setTextFormat(Qt::PlainText);
    message->setStyleSheet(QStringLiteral("color: #b3261e;"));

    accountMenu = new QToolButton;
    accountMenu->setText(QString::fromUtf8(MacLoginFlow::kSwitchAccountMenu));
    accountMenu->setPopupMode(QToolButton::InstantPopup);
    accountMenu->setMenu(new QMenu(accountMenu));
    connect(accountMenu->menu(), &QMenu::aboutToShow, this, &MacLoginView::fillAccountMenu);

    auto* column = new QVBoxLayout;
    column->addWidget(title);
    column->addSpacing(8);
    column->addWidget(pages);
    column->addWidget(message);
    column->addWidget(accountMenu, 0, Qt::AlignLeft);
    column->addStretch();
    auto* holder = new QWidget;
    holder->setLayout(column);
    holder->setFixedWidth(kFormWidth);
    auto* outer = new QHBoxLayout(this);
    outer->addStretch();
    outer->addWidget(holder, 0, Qt::AlignTop);
    outer->addStretch();

    login->onChange = [this] { refresh(); };
    connect(&account, &AccountSignals::changed, this, &MacLoginView::refresh);
    refresh();
}

MacLoginView::~MacLoginView() {
    login->hidden();
    login->onChange = nullptr;
}

QWidget* MacLoginView::buildModes() {
    auto* switcher = new QHBoxLayout;
    switcher->addWidget(new QLabel(QString::fromUtf8(MacLoginFlow::kModeSwitcherLabel)));
    modeButtons = new QButtonGroup(this);
    modePages = new QStackedWidget;
    // As tall as the mode shown, so the consent box sits right under its form.
    modePages->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    const std::pair<MacLoginFlow::Mode, QWidget*> modes[] = {
        {MacLoginFlow::Mode::password, buildPasswordMode()},
        {MacLoginFlow::Mode::sms, buildSmsMode()},
        {MacLoginFlow::Mode::qr, buildQRMode()},
    };
    for (auto [mode, page] : modes) {
        auto* button = new QPushButton(QString::fromUtf8(MacLoginFlow::label(mode)));
        button->setCheckable(true);
        modeButtons->addButton(button, int(mode));
        switcher->addWidget(button);
        modePages->addWidget(page);
    }
    switcher->addStretch();
    connect(modeButtons, &QButtonGroup::idClicked, this,
            [this](int id) { login->setMode(MacLoginFlow::Mode(id)); });

    consent = new QCheckBox(QString::fromUtf8(MacLoginFlow::kConsentText));
    connect(consent, &QCheckBox::toggled, this, [this](bool on) { login->setConsent(on); });

    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->addLayout(switcher);
    column->addWidget(modePages);
    column->addWidget(consent);
    return page;
}

QWidget* MacLoginView::buildPasswordMode() {
    username = textField(MacLoginFlow::kUsernamePlaceholder);
    password = textField("密码", true);
    bindField(username, login->username, [this] { refresh(); });
    bindField(password, login->password, [this] { refresh(); });
    loginButtonWidget = new QPushButton(QString::fromUtf8(MacLoginFlow::kLoginButton));
    loginButtonWidget->setDefault(true);
    connect(loginButtonWidget, &QPushButton::clicked, this, [this] { login->login(); });
    connect(password, &QLineEdit::returnPressed, loginButtonWidget, &QPushButton::click);

    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    form->addRow(QStringLiteral("账号"), username);
    form->addRow(QStringLiteral("密码"), password);
    form->addRow(loginButtonWidget);
    return page;
}

QWidget* MacLoginView::buildSmsMode() {
    phone = textField(MacLoginFlow::kPhonePlaceholder);
    captchaAnswer = textField("图中字符");
    code = textField("6 位验证码");
    bindField(phone, login->phone, [this] { refresh(); });
    bindField(captchaAnswer, login->captchaAnswer, [this] { refresh(); });
    bindField(code, login->code, [this] { refresh(); });

    captchaPicture = new QLabel;
    captchaPicture->setFixedSize(kCaptchaWidth, kCaptchaHeight);
    captchaPicture->setScaledContents(true);
    captchaPicture->setFrameShape(QFrame::StyledPanel);
    changeCaptcha = new QPushButton(QString::fromUtf8(MacLoginFlow::kChangeCaptchaButton));
    connect(changeCaptcha, &QPushButton::clicked, this, [this] { login->changeCaptcha(); });
    sendCode = new QPushButton;
    connect(sendCode, &QPushButton::clicked, this, [this] { login->sendCode(); });
    smsLogin = new QPushButton(QString::fromUtf8(MacLoginFlow::kSmsLoginButton));
    connect(smsLogin, &QPushButton::clicked, this, [this] { login->smsLogin(); });
    connect(code, &QLineEdit::returnPressed, smsLogin, &QPushButton::click);

    auto* captchaRow = new QHBoxLayout;
    captchaRow->addWidget(captchaAnswer);
    captchaRow->addWidget(captchaPicture);
    captchaRow->addWidget(changeCaptcha);
    auto* codeRow = new QHBoxLayout;
    codeRow->addWidget(code);
    codeRow->addWidget(sendCode);

    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    form->addRow(QStringLiteral("手机号"), phone);
    form->addRow(QStringLiteral("图形验证码"), captchaRow);
    form->addRow(QStringLiteral("短信验证码"), codeRow);
    form->addRow(smsLogin);
    return page;
}

QWidget* MacLoginView::buildQRMode() {
    auto* instruction = new QLabel(QString::fromUtf8(platformWords::kQRInstruction));
    instruction->setWordWrap(true);
    qrPicture = new QLabel;
    qrPicture->setFixedSize(kQRSide, kQRSide);
    qrPicture->setAlignment(Qt::AlignCenter);
    qrPicture->setFrameShape(QFrame::StyledPanel);
    qrValidity = new QLabel;
    refreshQR = new QPushButton(QString::fromUtf8(MacLoginFlow::kRefreshQRButton));
    connect(refreshQR, &QPushButton::clicked, this, [this] { login->refreshQR(); });

    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->addWidget(instruction);
    column->addWidget(qrPicture, 0, Qt::AlignHCenter);
    column->addWidget(qrValidity, 0, Qt::AlignHCenter);
    column->addWidget(refreshQR, 0, Qt::AlignHCenter);
    return page;
}

QWidget* MacLoginView::buildSetup() {
    auto* title = new QLabel(QString::fromUtf8(MacLoginFlow::kSetupTitle));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto* explanation = new QLabel(QString::fromUtf8(MacLoginFlow::kSetupExplanation));
    explanation->setWordWrap(true);
    newPassword = textField(MacLoginFlow::kNewPasswordField, true);
    confirmPassword = textField(MacLoginFlow::kConfirmPasswordField, true);
    bindField(newPassword, login->newPassword, [this] { refresh(); });
    bindField(confirmPassword, login->confirmPassword, [this] { refresh(); });
    setup = new QPushButton(QString::fromUtf8(MacLoginFlow::kSetupButton));
    connect(setup, &QPushButton::clicked, this, [this] { login->setupPassword(); });
    connect(confirmPassword, &QLineEdit::returnPressed, setup, &QPushButton::click);
    leaveSetup = new QPushButton(QString::fromUtf8(MacLoginFlow::kLeaveSetupButton));
    connect(leaveSetup, &QPushButton::clicked, this, [this] {
        login->leavePasswordSetup();
        newPassword->clear();
        confirmPassword->clear();
    });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(leaveSetup);
    buttons->addStretch();
    buttons->addWidget(setup);
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(title);
    column->addWidget(explanation);
    column->addWidget(newPassword);
    column->addWidget(confirmPassword);
    column->addLayout(buttons);
    column->addStretch();
    return page;
}

void MacLoginView::selectMode(MacLoginFlow::Mode mode) {
    login->setMode(mode);
}

void MacLoginView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    login->shown();
}

void MacLoginView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    login->hidden();
}

void MacLoginView::refresh() {
    const MacLoginFlow& flow = *login;
    pages->setCurrentIndex(flow.showsPasswordSetup() ? 1 : 0);
    modeButtons->button(int(flow.mode()))->setChecked(true);
    modePages->setCurrentIndex(int(flow.mode()));
    for (int index = 0; index < modePages->count(); ++index) {
        QSizePolicy::Policy policy =
            index == int(flow.mode()) ? QSizePolicy::Preferred : QSizePolicy::Ignored;
        modePages->widget(index)->setSizePolicy(policy, policy);
    }
    modePages->updateGeometry();
    if (consent->isChecked() != flow.consent()) consent->setChecked(flow.consent());

    loginButtonWidget->setEnabled(flow.canLogin());
    sendCode->setEnabled(flow.canSendCode());
    sendCode->setText(qs(flow.sendCodeLabel()));
    smsLogin->setEnabled(flow.canSmsLogin());
    changeCaptcha->setEnabled(flow.canChangeCaptcha());
    refreshQR->setEnabled(flow.canRefreshQR());
    setup->setEnabled(flow.canSetupPassword());
    leaveSetup->setEnabled(flow.canLeavePasswordSetup());
    accountMenu->setVisible(flow.showsAccountMenu());
    accountMenu->setEnabled(flow.canSwitchAccount());

    QPixmap captcha;
    if (const auto& png = flow.captchaImage()) captcha.loadFromData(png->data(), uint(png->size()), "PNG");
    captchaPicture->setPixmap(captcha);

    if (const auto& text = flow.qrCode()) {
        QImage image = qrImage(*text);
        qrPicture->setPixmap(QPixmap::fromImage(image).scaled(kQRSide - 4, kQRSide - 4, Qt::KeepAspectRatio,
                                                              Qt::FastTransformation));
    } else {
        qrPicture->setPixmap({});
        qrPicture->setText(QStringLiteral("二维码"));
    }
    qrValidity->setText(qs(flow.qrValidityText()));
    message->setText(qs(account.account().message()));
    message->setVisible(!account.account().message().empty());
}

void MacLoginView::fillAccountMenu() {
    QMenu* menu = accountMenu->menu();
    menu->clear();
    for (const SavedAccountChoice& choice : account.account().savedAccounts()) {
        std::string key = choice.id;
        menu->addAction(qs(choice.username), this, [this, key] { login->switchAccount(key); });
    }
}

} // namespace quorlinth
