#pragma once

#include "base/Observable.h"

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quorlinth {

class MacModel;

// "用设备码连接": another person's nine-digit device code and one-time password.
class MacGuestSheet : public QDialog {
    Q_OBJECT
public:
    static constexpr int kCodeLength = 9;
    static constexpr int kMinimumPasswordLength = 6;
    using OpenWindow = std::function<void(const std::string& sessionID)>;

    MacGuestSheet(MacModel& model, OpenWindow openWindow, QWidget* parent = nullptr);

    // "连接" is enabled only for exactly nine decimal digits, a password of at least six
    // characters, and while this computer does not share.
    static bool canConnect(const QString& code, const QString& password, bool sharing);

    QLineEdit* codeField() const { return code; }
    QLineEdit* passwordField() const { return password; }
    QPushButton* connectButton() const { return connectAction; }
    QString errorText() const;

private:
    void refresh();
    void connectGuest();

    MacModel& model;
    OpenWindow openWindow;
    QLineEdit* code = nullptr;
    QLineEdit* password = nullptr;
    QPushButton* connectAction = nullptr;
    QLabel* error = nullptr;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
