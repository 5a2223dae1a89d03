#pragma once

#include "base/Scheduler.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorlinth {

class AccountSignals;
class LoginClock;
class MacAccount;
class MacContentView;
class MacModel;
class MacRemoteWindow;
class MacSettingsView;
class MacTrayItem;
class MacUpdates;
class UserDefaults;

// The application shell: the main window, the remote window, the settings window, the sheets and
// the tray item over the shared model, and the update alert. Closing windows never quits;
// quitting stops everything the model runs first.
class MacAppShell : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kDockVisibleKey = "dock.visible";
    // Quitting waits this long at most for the service to hear that sharing ended.
    static constexpr Millis kQuitGrace{5000};

    struct Parts {
        MacModel& model;
        std::shared_ptr<MacAccount> account;
        Dispatcher& main;
        UserDefaults& defaults;
        // Ends the process's event loop; runs once, after the model has shut down.
        std::function<void()> terminate;
        // Checked at launch and every hour; none: no update checks.
        std::shared_ptr<MacUpdates> updates = nullptr;
    };

    explicit MacAppShell(Parts parts, QObject* parent = nullptr);
    ~MacAppShell() override;

    void showMain();
    void showSettings();
    // The sheets of the main window; a remote window's sheet names its session.
    void showConnectionSheet(std::optional<std::string> currentSessionID = std::nullopt);
    void showGuestSheet();
    // Opens a remote window for this device of the account as soon as the device list shows it
    // ready (the command line's --connect).
    void connectWhenListed(std::string deviceID);
    // Releases held input, ends sharing (the share host says "end"), then terminates.
    void quit();
    bool quitting() const { return quitStarted; }

    MacContentView* mainWindow() const { return content.get(); }
    MacTrayItem* trayItem() const { return tray.get(); }
    MacRemoteWindow* remoteWindow() const { return remote.get(); }
    bool dockVisible() const;
    void setDockVisible(bool on);

private:
    void finishQuit();
    void applyClosePolicy();
    void showRemote(const std::string& sessionID);
    void watchUpdates();
    void offerUpdate();

    Parts parts;
    std::unique_ptr<AccountSignals> account;
    std::shared_ptr<LoginClock> clock;
    std::unique_ptr<MacContentView> content;
    std::unique_ptr<MacSettingsView> settings;
    std::unique_ptr<MacTrayItem> tray;
    std::unique_ptr<MacRemoteWindow> remote;
    QPointer<QWidget> sheet;
    QPointer<QWidget> updateAlert;
    QMetaObject::Connection pendingConnect;
    bool quitStarted = false;
    bool terminated = false;
    Timer quitGrace;
    Timer updateTimer;
};

} // namespace quorlinth
