#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QToolButton;

namespace quorlinth {

class AccountSignals;
class MacLoginFlow;

// The signed-in account: "已登录：" with the user name, the note, the menu "切换账号" and the
// button "退出账号". Its actions run through the sign-in flow's action runner.
class MacAccountSection : public QWidget {
    Q_OBJECT
public:
    MacAccountSection(AccountSignals& account, MacLoginFlow& flow, QWidget* parent = nullptr);

private:
    void refresh();
    void fillMenu();

    AccountSignals& account;
    MacLoginFlow& flow;
    QLabel* signedIn = nullptr;
    QToolButton* switchMenu = nullptr;
    QPushButton* logout = nullptr;
};

} // namespace quorlinth
