#include "ui/MacDevicesPane.h"

#include "account/MacAccount.h"
#include "base/DisplayText.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "ui/AccountSignals.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace quorlinth {

namespace {

QLabel* wrapped(const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text));
    label->setWordWrap(true);
    return label;
}

// The symbol by platform: a computer for "macos", a phone otherwise; iOS keeps its own look.
QIcon platformIcon(const std::string& platform) {
    QStyle* style = QApplication::style();
    if (platform == "macos" || platform == "linux" || platform == "windows")
        return style->standardIcon(QStyle::SP_ComputerIcon);
    return style->standardIcon(QStyle::SP_DriveNetIcon);
}

} // namespace

MacDevicesPane::MacDevicesPane(AccountSignals& account, MacModel& model, QWidget* parent)
    : QWidget(parent), account(account), model(model) {
    auto* title = new QLabel(QStringLiteral("我的设备"));
    QFont bold = title->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    title->setFont(bold);
    auto* refresh = new QPushButton(QStringLiteral("刷新"));
    connect(refresh, &QPushButton::clicked, this, [this] {
        this->account.account().refreshDevices([this](MacResult<void> done) {
            if (!done) emit notice(QString::fromStdString(done.failure().localizedDescription()));
        });
    });
    auto* connectSheet = new QPushButton(QStringLiteral("连接设备…"));
    connect(connectSheet, &QPushButton::clicked, this, &MacDevicesPane::connectionSheetRequested);
    auto* guestSheet = new QPushButton(QStringLiteral("设备码连接"));
    connect(guestSheet, &QPushButton::clicked, this, &MacDevicesPane::guestSheetRequested);
    auto* header = new QHBoxLayout;
    header->addWidget(title);
    header->addStretch();
    header->addWidget(connectSheet);
    header->addWidget(guestSheet);
    header->addWidget(refresh);

    sharingRefusal = wrapped(kSharingRefusal);
    sharingRefusal->setStyleSheet(QStringLiteral("color: #b3261e;"));
    rows = new QVBoxLayout;
    auto* column = new QVBoxLayout(this);
    column->addLayout(header);
    column->addWidget(wrapped(kHint));
    column->addWidget(sharingRefusal);
    column->addLayout(rows);
    column->addStretch();

    connect(&account, &AccountSignals::changed, this, &MacDevicesPane::rebuild);
    subscriptions.push_back(model.state().sharing.observe([this](bool) { rebuild(); }));
    subscriptions.push_back(model.state().starting.observe([this](bool) { rebuild(); }));
    subscriptions.push_back(model.state().sessions.observe([this](const auto&) { rebuild(); }));
    rebuild();
}

bool MacDevicesPane::ready(const MacDevice& device) {
    return device.online && device.capabilities.captureReady && device.capabilities.webrtc;
}

const char* MacDevicesPane::notReadyReason(const MacDevice& device) {
    return device.online ? "对方还没有开启共享" : "对方不在线";
}

void MacDevicesPane::rebuild() {
    while (QLayoutItem* item = rows->takeAt(0)) {
        // Later: the row may be the sender of the signal that got us here.
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    const MacModelState& state = model.state();
    bool sharing = state.sharing.get() || state.starting.get();
    sharingRefusal->setVisible(sharing);
    const auto& credentials = account.account().credentials();
    std::string self = credentials ? credentials->deviceID : std::string();
    int shown = 0;
    for (const MacDevice& device : account.account().devices()) {
        if (device.id == self) continue;
        rows->addWidget(row(device, sharing));
        ++shown;
    }
    if (shown == 0) rows->addWidget(wrapped(kEmpty));
}

QWidget* MacDevicesPane::row(const MacDevice& device, bool sharing) {
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    auto* icon = new QLabel;
    icon->setPixmap(platformIcon(device.platform).pixmap(32, 32));
    auto* name = new QLabel(QString::fromStdString(displaySafe(device.name)));
    name->setTextFormat(Qt::PlainText);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    auto* status = new QLabel(QString::fromStdString(device.statusText()));
    status->setWordWrap(true);
    auto* text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(status);
    if (!ready(device)) text->addWidget(new QLabel(QString::fromUtf8(notReadyReason(device))));

    auto* line = new QHBoxLayout(frame);
    line->addWidget(icon, 0, Qt::AlignTop);
    line->addLayout(text, 1);
    std::shared_ptr<MacRemoteSession> open;
    for (const auto& session : model.state().sessions.get())
        if (session->deviceID() == device.id) open = session;
    if (open) {
        // A connected device offers its window and the way to end the session.
        auto* switchTo = new QPushButton(QStringLiteral("切换到窗口"));
        connect(switchTo, &QPushButton::clicked, this,
                [this, id = QString::fromStdString(open->id())] { emit showRemote(id); });
        auto* disconnect = new QPushButton(QStringLiteral("断开"));
        std::weak_ptr<MacRemoteSession> weak = open;
        connect(disconnect, &QPushButton::clicked, this, [this, weak] {
            if (auto session = weak.lock()) this->model.closeRemote(session);
        });
        line->addWidget(switchTo, 0, Qt::AlignVCenter);
        line->addWidget(disconnect, 0, Qt::AlignVCenter);
        return frame;
    }
    auto* connectButton = new QPushButton(QStringLiteral("连接"));
    connectButton->setEnabled(ready(device) && !sharing);
    connect(connectButton, &QPushButton::clicked, this, [this, device] { this->open(device); });
    line->addWidget(connectButton, 0, Qt::AlignVCenter);
    return frame;
}

void MacDevicesPane::open(const MacDevice& device) {
    auto session = model.openRemote(device);
    if (!session) {
        emit notice(QString::fromStdString(model.state().status.get()));
        return;
    }
    emit showRemote(QString::fromStdString(session->id()));
}

} // namespace quorlinth
