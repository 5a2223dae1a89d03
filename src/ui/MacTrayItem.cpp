#include "ui/MacTrayItem.h"

#include "base/PlatformWords.h"
#include "model/MacModel.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace quorlinth {

namespace {

constexpr int kIconSide = 64;

// "rectangle.on.rectangle": two outlined screens.
QPixmap idleIcon() {
    QPixmap picture(kIconSide, kIconSide);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x44, 0x44, 0x44), 5));
    painter.drawRoundedRect(QRectF(6, 6, 38, 30), 5, 5);
    painter.setBrush(QColor(0xf4, 0xf4, 0xf4));
    painter.drawRoundedRect(QRectF(20, 24, 38, 30), 5, 5);
    return picture;
}

// "rectangle.inset.filled.and.person.filled": a filled screen with a person beside it.
QPixmap sharingIcon() {
    QPixmap picture(kIconSide, kIconSide);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor accent(0x1a, 0x73, 0xe8);
    painter.setPen(QPen(accent, 4));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(4, 8, 42, 34), 5, 5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(accent);
    painter.drawRoundedRect(QRectF(10, 14, 30, 22), 3, 3);
    painter.drawEllipse(QRectF(44, 30, 14, 14));
    painter.drawPie(QRectF(38, 46, 26, 26), 0, 180 * 16);
    return picture;
}

} // namespace

MacTrayItem::MacTrayItem(MacModel& model, Actions actions, QObject* parent)
    : QObject(parent), model(model), actions(std::move(actions)) {
    contents = new QMenu;
    status = contents->addAction(QString());
    status->setEnabled(false);
    contents->addSeparator();
    contents->addAction(QStringLiteral("打开 Quorlinth"), this, [this] { this->actions.openMain(); });
    contents->addAction(QStringLiteral("设置…"), this, [this] { this->actions.openSettings(); })
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    dock = contents->addAction(QString::fromUtf8(platformWords::kDockToggle));
    dock->setCheckable(true);
    dock->setChecked(this->actions.dockVisible());
    connect(dock, &QAction::toggled, this, [this](bool on) { this->actions.setDockVisible(on); });
    contents->addSeparator();
    QAction* quit =
        contents->addAction(QStringLiteral("退出 Quorlinth"), this, [this] { this->actions.quit(); });
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray = new QSystemTrayIcon(this);
        tray->setContextMenu(contents);
        connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) this->actions.openMain();
        });
    }
    subscriptions.push_back(model.state().sharing.observe([this](bool) { refresh(); }));
    subscriptions.push_back(model.state().stoppingSharing.observe([this](bool) { refresh(); }));
    refresh();
    if (tray) tray->show();
}

MacTrayItem::~MacTrayItem() {
    delete contents;
}

QString MacTrayItem::statusLine(bool sharing, bool stopping) {
    if (stopping) return QString::fromUtf8(kStoppingLine);
    if (sharing) return QString::fromUtf8(kSharingLine) + QString::fromUtf8(platformWords::kThisComputer);
    return QString::fromUtf8(kIdleLine);
}

QIcon MacTrayItem::icon(bool sharing) {
    return QIcon(sharing ? sharingIcon() : idleIcon());
}

void MacTrayItem::refresh() {
    const MacModelState& state = model.state();
    QString line = statusLine(state.sharing.get(), state.stoppingSharing.get());
    status->setText(line);
    if (!tray) return;
    tray->setIcon(icon(state.sharing.get()));
    tray->setToolTip(QStringLiteral("Quorlinth · ") + line);
}

} // namespace quorlinth
