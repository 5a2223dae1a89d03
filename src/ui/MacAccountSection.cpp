#include "ui/MacAccountSection.h"

#include "account/MacAccount.h"
#include "account/MacLoginFlow.h"
#include "ui/AccountSignals.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace quorlinth {

MacAccountSection::MacAccountSection(AccountSignals& account, MacLoginFlow& flow, QWidget* parent)
    : QWidget(parent), account(account), flow(flow) {
    signedIn = new QLabel;
    signedIn->setTextFormat(Qt::PlainText);
    auto* note = new QLabel(QString::fromUtf8(MacLoginFlow::kSignedInNote));
    note->setWordWrap(true);
    note->setStyleSheet(QStringLiteral("color: #5f6368;"));
    switchMenu = new QToolButton;
    switchMenu->setText(QString::fromUtf8(MacLoginFlow::kSwitchAccountMenu));
    switchMenu->setPopupMode(QToolButton::InstantPopup);
    switchMenu->setMenu(new QMenu(switchMenu));
    connect(switchMenu->menu(), &QMenu::aboutToShow, this, &MacAccountSection::fillMenu);
    logout = new QPushButton(QString::fromUtf8(MacLoginFlow::kLogoutButton));
    logout->setStyleSheet(QStringLiteral("color: #b3261e;"));
    connect(logout, &QPushButton::clicked, this, [this] { this->flow.logout(); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(switchMenu);
    buttons->addWidget(logout);
    buttons->addStretch();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(signedIn);
    column->addWidget(note);
    column->addLayout(buttons);

    connect(&account, &AccountSignals::changed, this, &MacAccountSection::refresh);
    refresh();
}

void MacAccountSection::refresh() {
    const auto& credentials = account.account().credentials();
    signedIn->setText(QString::fromUtf8(MacLoginFlow::kSignedInPrefix) +
                      QString::fromStdString(credentials ? credentials->username : std::string()));
    switchMenu->setEnabled(flow.canSwitchAccount());
    logout->setEnabled(flow.canLogout());
}

void MacAccountSection::fillMenu() {
    QMenu* menu = switchMenu->menu();
    menu->clear();
    const auto& credentials = account.account().credentials();
    for (const SavedAccountChoice& choice : account.account().savedAccounts()) {
        std::string key = choice.id;
        QAction* action = menu->addAction(QString::fromStdString(choice.username), this,
                                          [this, key] { flow.switchAccount(key); });
        action->setCheckable(true);
        action->setChecked(credentials && credentials->username == choice.username);
    }
    menu->addSeparator();
    // Another account signs in through the sign-in screen.
    menu->addAction(QStringLiteral("登录其他账号…"), this, [this] { flow.switchAccount(std::nullopt); });
}

} // namespace quorlinth
