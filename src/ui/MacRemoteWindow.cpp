#include "ui/MacRemoteWindow.h"

#include "base/DisplayText.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "ui/MacRemoteSessionView.h"

#include <QCloseEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace quorlinth {

namespace {

// Usable on a 1280 by 720 screen with a panel and the title bar.
constexpr int kStartWidth = 1200, kStartHeight = 680;

} // namespace

MacRemoteWindow::MacRemoteWindow(MacModel& model, UserDefaults& defaults, QWidget* parent)
    : QWidget(parent, Qt::Window), model(model), defaults(defaults) {
    setWindowTitle(QStringLiteral("远程"));
    resize(kStartWidth, kStartHeight);
    tabs = new QTabWidget;
    tabs->setTabsClosable(true);
    tabs->setDocumentMode(true);
    tabs->tabBar()->setAutoHide(true);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(tabs);
    connect(tabs, &QTabWidget::tabCloseRequested, this, [this](int index) {
        if (auto* view = viewAt(index)) this->model.closeRemote(view->session());
    });
    connect(tabs, &QTabWidget::currentChanged, this, [this](int index) {
        auto* view = viewAt(index);
        if (view && isActiveWindow()) view->windowActivated();
    });
    sessionsWatch = model.state().sessions.observe(
        [this](const std::vector<std::shared_ptr<MacRemoteSession>>& sessions) { follow(sessions); });
    follow(model.state().sessions.get());
}

MacRemoteWindow::~MacRemoteWindow() = default;

MacRemoteSessionView* MacRemoteWindow::viewAt(int index) const {
    return qobject_cast<MacRemoteSessionView*>(tabs->widget(index));
}

int MacRemoteWindow::sessionCount() const {
    return tabs->count();
}

MacRemoteSessionView* MacRemoteWindow::sessionView(const std::string& sessionID) const {
    for (int i = 0; i < tabs->count(); ++i)
        if (viewAt(i)->session()->id() == sessionID) return viewAt(i);
    return nullptr;
}

void MacRemoteWindow::follow(const std::vector<std::shared_ptr<MacRemoteSession>>& sessions) {
    for (int i = tabs->count() - 1; i >= 0; --i) {
        MacRemoteSessionView* view = viewAt(i);
        if (std::find(sessions.begin(), sessions.end(), view->session()) != sessions.end()) continue;
        tabs->removeTab(i);
        // Later: this may run inside one of the view's own button handlers.
        view->deleteLater();
    }
    for (const auto& session : sessions)
        if (!sessionView(session->id())) add(session);
    if (tabs->count() == 0 && isVisible()) {
        if (isFullScreen()) showNormal();
        hide();
    }
}

void MacRemoteWindow::add(const std::shared_ptr<MacRemoteSession>& session) {
    auto* view = new MacRemoteSessionView(model, session, defaults);
    view->setFullScreen(isFullScreen());
    int index = tabs->addTab(view, QString());
    connect(view, &MacRemoteSessionView::titleChanged, this, [this, view](const QString& title) {
        int at = tabs->indexOf(view);
        if (at >= 0) tabs->setTabText(at, title);
    });
    tabs->setTabText(index, QString::fromStdString(displaySafe(session->state().device.get().name)));
    connect(view, &MacRemoteSessionView::fullScreenToggled, this, &MacRemoteWindow::toggleFullScreen);
    connect(view, &MacRemoteSessionView::connectAnother, this, &MacRemoteWindow::connectAnother);
    showSession(session->id());
}

bool MacRemoteWindow::showSession(const std::string& sessionID) {
    MacRemoteSessionView* view = sessionView(sessionID);
    if (!view) return false;
    tabs->setCurrentWidget(view);
    if (!isVisible()) show();
    raise();
    activateWindow();
    view->grabFocus();
    return true;
}

void MacRemoteWindow::toggleFullScreen() {
    isFullScreen() ? showNormal() : showFullScreen();
    raise();
    activateWindow();
}

void MacRemoteWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        for (int i = 0; i < tabs->count(); ++i)
            viewAt(i)->setFullScreen(isFullScreen());
    }
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        if (auto* view = viewAt(tabs->currentIndex())) view->windowActivated();
}

void MacRemoteWindow::closeEvent(QCloseEvent* event) {
    // Closing the window ends every session in it; the tabs go as the model's list empties.
    auto sessions = model.state().sessions.get(); // closing changes the list
    for (const auto& session : sessions)
        model.closeRemote(session);
    QWidget::closeEvent(event);
}

} // namespace quorlinth
