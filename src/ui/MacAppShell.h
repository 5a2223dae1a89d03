#pragma once

#include "base/Scheduler.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

namespace quorlinth {

class AccountSignals;
class LoginClock;
class MacAccount;
class MacContentView;
class MacModel;
class MacSettingsView;
class MacTrayItem;
class UserDefaults;

// The application shell: the main window, the settings window and the tray item over the shared
// model. Closing windows never quits; quitting stops everything the model runs first.
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
    };

    explicit MacAppShell(Parts parts, QObject* parent = nullptr);
    ~MacAppShell() override;

    void showMain();
    void showSettings();
    // Releases held input, ends sharing (the share host says "end"), then terminates.
    void quit();
    bool quitting() const { return quitStarted; }

    MacContentView* mainWindow() const { return content.get(); }
    MacTrayItem* trayItem() const { return tray.get(); }
    bool dockVisible() const;
    void setDockVisible(bool on);

private:
    void finishQuit();
    void applyClosePolicy();

    Parts parts;
    std::unique_ptr<AccountSignals> account;
    std::shared_ptr<LoginClock> clock;
    std::unique_ptr<MacContentView> content;
    std::unique_ptr<MacSettingsView> settings;
    std::unique_ptr<MacTrayItem> tray;
    bool quitStarted = false;
    bool terminated = false;
    Timer quitGrace;
};

} // namespace quorlinth
