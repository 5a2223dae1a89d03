#include "ui/MacAppShell.h"

#include "account/MacAccount.h"
#include "account/MacLoginFlow.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "store/UserDefaults.h"
#include "ui/AccountSignals.h"
#include "ui/MacConnectionSheet.h"
#include "ui/MacContentView.h"
#include "ui/MacDevicesPane.h"
#include "ui/MacGuestSheet.h"
#include "ui/MacLoginView.h"
#include "ui/MacRemoteWindow.h"
#include "ui/MacSettingsView.h"
#include "ui/MacTrayItem.h"
#include "updates/MacUpdates.h"

#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace quorlinth {

MacAppShell::MacAppShell(Parts parts, QObject* parent)
    : QObject(parent), parts(std::move(parts)),
      account(std::make_unique<AccountSignals>(this->parts.account)),
      clock(std::make_shared<DispatcherLoginClock>(this->parts.main)) {
    // The tray item keeps the application alive with no window open.
    QApplication::setQuitOnLastWindowClosed(false);
    content = std::make_unique<MacContentView>(*account, this->parts.model, clock);
    MacTrayItem::Actions actions{[this] { showMain(); }, [this] { showSettings(); }, [this] { quit(); },
                                 [this] { return dockVisible(); }, [this](bool on) { setDockVisible(on); }};
    tray = std::make_unique<MacTrayItem>(this->parts.model, std::move(actions));
    content->menuBar()->addMenu(tray->menu())->setText(QStringLiteral("Quorlinth"));
    remote = std::make_unique<MacRemoteWindow>(this->parts.model, this->parts.defaults);
    connect(remote.get(), &MacRemoteWindow::connectAnother, this,
            [this](const QString& id) { showConnectionSheet(id.toStdString()); });
    MacDevicesPane* devices = content->devicesPane();
    connect(devices, &MacDevicesPane::showRemote, this,
            [this](const QString& id) { showRemote(id.toStdString()); });
    connect(devices, &MacDevicesPane::connectionSheetRequested, this, [this] { showConnectionSheet(); });
    connect(devices, &MacDevicesPane::guestSheetRequested, this, &MacAppShell::showGuestSheet);
    applyClosePolicy();
    watchUpdates();
}

MacAppShell::~MacAppShell() {
    if (parts.updates) parts.updates->onChange = nullptr;
    delete sheet.data();
    delete updateAlert.data();
    remote.reset();
    settings.reset();
    content.reset();
    tray.reset();
}

void MacAppShell::showMain() {
    content->showNormal();
    content->raise();
    content->activateWindow();
}

void MacAppShell::showSettings() {
    if (!settings)
        settings = std::make_unique<MacSettingsView>(
            *account, parts.model, content->loginView()->flow(), [this] { return dockVisible(); },
            [this](bool on) { setDockVisible(on); });
    settings->show();
    settings->raise();
    settings->activateWindow();
}

void MacAppShell::showRemote(const std::string& sessionID) {
    remote->showSession(sessionID);
}

void MacAppShell::showConnectionSheet(std::optional<std::string> currentSessionID) {
    delete sheet.data();
    QWidget* owner = currentSessionID ? static_cast<QWidget*>(remote.get()) : content.get();
    auto* dialog = new MacConnectionSheet(
        *account, parts.model, std::move(currentSessionID), [this](const std::string& id) { showRemote(id); },
        owner);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    sheet = dialog;
    dialog->open();
}

void MacAppShell::showGuestSheet() {
    delete sheet.data();
    auto* dialog = new MacGuestSheet(
        parts.model, [this](const std::string& id) { showRemote(id); }, content.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    sheet = dialog;
    dialog->open();
}

void MacAppShell::connectWhenListed(std::string deviceID) {
    auto attempt = [this, deviceID] {
        for (const MacDevice& device : account->account().devices()) {
            if (device.id != deviceID || !MacDevicesPane::ready(device)) continue;
            disconnect(pendingConnect);
            if (auto session = parts.model.openRemote(device)) showRemote(session->id());
            return;
        }
    };
    disconnect(pendingConnect);
    pendingConnect = connect(account.get(), &AccountSignals::changed, this, attempt);
    attempt();
}

// The first check runs at launch, then one an hour; the updater spaces its own attempts.
void MacAppShell::watchUpdates() {
    MacUpdates* updates = parts.updates.get();
    if (!updates) return;
    QPointer<MacAppShell> self(this);
    updates->onChange = [self] {
        if (self) self->offerUpdate();
    };
    updates->isBusy = [self] {
        if (!self) return false;
        const MacModelState& state = self->parts.model.state();
        return state.sharing.get() || state.starting.get() || !state.sessions.get().empty();
    };
    updates->onTerminate = [self] {
        if (self) self->quit();
    };
    updateTimer = parts.main.every(Millis(0), MacUpdates::kCheckInterval, [self] {
        if (self) self->parts.updates->check(false);
    });
}

void MacAppShell::offerUpdate() {
    MacUpdates& updates = *parts.updates;
    const auto& offered = updates.offered();
    if (!offered || updateAlert || quitStarted) return;
    MacUpdate release = *offered;
    bool interrupts = parts.model.state().sharing.get() || !parts.model.state().sessions.get().empty();
    auto* alert = new QMessageBox(
        QMessageBox::Information, QString::fromStdString(MacUpdates::alertTitle(release)),
        QString::fromStdString(updates.alertText(interrupts)), QMessageBox::NoButton, content.get());
    QPushButton* install = alert->addButton(QStringLiteral("立即更新"), QMessageBox::AcceptRole);
    alert->addButton(QStringLiteral("跳过此版本"), QMessageBox::RejectRole);
    alert->setDefaultButton(install);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<MacAppShell> self(this);
    connect(alert, &QMessageBox::buttonClicked, this, [self, install, release](QAbstractButton* chosen) {
        if (!self) return;
        if (chosen == install)
            self->parts.updates->install(release);
        else
            self->parts.updates->skip(release);
    });
    updateAlert = alert;
    alert->open();
}

bool MacAppShell::dockVisible() const {
    return parts.defaults.boolean(kDockVisibleKey).value_or(false);
}

void MacAppShell::setDockVisible(bool on) {
    parts.defaults.set(kDockVisibleKey, on);
    applyClosePolicy();
}

// With the icon kept in the taskbar, or without a tray to come back from, closing the main
// window minimizes it; otherwise it hides and the tray item brings it back.
void MacAppShell::applyClosePolicy() {
    content->setHidesOnClose(!dockVisible() && QSystemTrayIcon::isSystemTrayAvailable());
}

void MacAppShell::quit() {
    if (quitStarted) return;
    quitStarted = true;
    QPointer<MacAppShell> self(this);
    // The service may be slow to hear the last heartbeat; the share itself is stopped at once.
    quitGrace = parts.main.after(kQuitGrace, [self] {
        if (self) self->finishQuit();
    });
    parts.model.prepareToQuit([self] {
        if (self) self->finishQuit();
    });
}

void MacAppShell::finishQuit() {
    if (terminated) return;
    terminated = true;
    quitGrace.cancel();
    updateTimer.cancel();
    if (settings) settings->hide();
    remote->hide();
    content->hide();
    parts.terminate();
}

} // namespace quorlinth
