#pragma once

#include <QMainWindow>
#include <memory>

class QLabel;
class QStackedWidget;

namespace quorlinth {

class AccountSignals;
class LoginClock;
class MacDevicesPane;
class MacLoginView;
class MacModel;
class MacSharingPane;

// The main window "Quorlinth": the sign-in screen while signed out; signed in, a split view with
// the account's devices in the sidebar and the sharing of this computer in the detail pane.
class MacContentView : public QMainWindow {
    Q_OBJECT
public:
    MacContentView(AccountSignals& account, MacModel& model, std::shared_ptr<LoginClock> clock,
                   QWidget* parent = nullptr);

    MacLoginView* loginView() const { return login; }
    MacSharingPane* sharingPane() const { return sharing; }
    MacDevicesPane* devicesPane() const { return devices; }
    bool showsLogin() const;
    // Whether closing hides the window (the tray item brings it back) or only minimizes it,
    // so that it stays reachable from the taskbar.
    void setHidesOnClose(bool hides) { hidesOnClose = hides; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void refresh();

    AccountSignals& account;
    QStackedWidget* pages = nullptr;
    MacLoginView* login = nullptr;
    MacDevicesPane* devices = nullptr;
    MacSharingPane* sharing = nullptr;
    bool hidesOnClose = true;
};

} // namespace quorlinth
