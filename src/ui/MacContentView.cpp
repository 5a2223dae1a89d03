#include "ui/MacContentView.h"

#include "account/MacAccount.h"
#include "ui/AccountSignals.h"
#include "ui/MacAccountSection.h"
#include "ui/MacDevicesPane.h"
#include "ui/MacLoginView.h"
#include "ui/MacSharingPane.h"

#include <QCloseEvent>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QVBoxLayout>

namespace quorlinth {

namespace {

constexpr int kSidebarWidth = 380;
constexpr int kMinimumWidth = 960, kMinimumHeight = 600;
// Fits a 1280 by 720 screen with room for a panel and the title bar.
constexpr int kStartWidth = 1200, kStartHeight = 660;

QScrollArea* scrolling(QWidget* content) {
    auto* area = new QScrollArea;
    area->setWidget(content);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    return area;
}

} // namespace

MacContentView::MacContentView(AccountSignals& account, MacModel& model, std::shared_ptr<LoginClock> clock,
                               QWidget* parent)
    : QMainWindow(parent), account(account) {
    setWindowTitle(QStringLiteral("Quorlinth"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kStartWidth, kStartHeight);

    login = new MacLoginView(account, std::move(clock));
    devices = new MacDevicesPane(account, model);
    sharing = new MacSharingPane(account, model);
    connect(devices, &MacDevicesPane::notice, this,
            [this](const QString& text) { statusBar()->showMessage(text); });

    auto* sidebar = new QWidget;
    auto* sidebarColumn = new QVBoxLayout(sidebar);
    sidebarColumn->addWidget(devices, 1);
    sidebarColumn->addWidget(new MacAccountSection(account, login->flow()));
    auto* split = new QSplitter;
    split->addWidget(scrolling(sidebar));
    split->addWidget(scrolling(sharing));
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({kSidebarWidth, kMinimumWidth});
    split->setChildrenCollapsible(false);

    pages = new QStackedWidget;
    pages->addWidget(scrolling(login));
    pages->addWidget(split);
    setCentralWidget(pages);
    statusBar();

    connect(&account, &AccountSignals::changed, this, &MacContentView::refresh);
    refresh();
}

bool MacContentView::showsLogin() const {
    return pages->currentIndex() == 0;
}

void MacContentView::refresh() {
    pages->setCurrentIndex(account.account().credentials() ? 1 : 0);
}

void MacContentView::closeEvent(QCloseEvent* event) {
    if (hidesOnClose) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    showMinimized();
}

} // namespace quorlinth
