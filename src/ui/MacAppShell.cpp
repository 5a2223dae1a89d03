#include "ui/MacAppShell.h"

#include "account/MacLoginFlow.h"
#include "model/MacModel.h"
#include "store/UserDefaults.h"
#include "ui/AccountSignals.h"
#include "ui/MacContentView.h"
#include "ui/MacLoginView.h"
#include "ui/MacSettingsView.h"
#include "ui/MacTrayItem.h"

#include <QApplication>
#include <QMenuBar>
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
    applyClosePolicy();
}

MacAppShell::~MacAppShell() {
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
    if (settings) settings->hide();
    content->hide();
    parts.terminate();
}

} // namespace quorlinth
