#include "ui/MacConnectionSheet.h"

#include "account/MacAccount.h"
#include "base/DisplayText.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "ui/AccountSignals.h"
#include "ui/MacDevicesPane.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace quorlinth {

namespace {

QLabel* heading(const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text));
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

QWidget* entry(const QString& title, QPushButton* button) {
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* name = new QLabel(title);
    name->setTextFormat(Qt::PlainText);
    line->addWidget(name, 1);
    line->addWidget(button);
    return row;
}

void clear(QVBoxLayout* rows) {
    while (QLayoutItem* item = rows->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}

} // namespace

MacConnectionSheet::MacConnectionSheet(AccountSignals& account, MacModel& model,
                                       std::optional<std::string> currentSessionID, OpenWindow openWindow,
                                       QWidget* parent)
    : QDialog(parent), account(account), model(model), currentSessionID(std::move(currentSessionID)),
      openWindow(std::move(openWindow)) {
    setWindowTitle(this->currentSessionID ? QStringLiteral("连接另一台设备") : QStringLiteral("连接设备"));
    setMinimumWidth(420);
    sessionRows = new QVBoxLayout;
    deviceRows = new QVBoxLayout;
    error = new QLabel;
    error->setWordWrap(true);
    error->setTextFormat(Qt::PlainText);
    error->setStyleSheet(QStringLiteral("color: #b3261e;"));
    error->hide();
    auto* cancel = new QPushButton(QStringLiteral("取消"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);

    auto* column = new QVBoxLayout(this);
    column->addWidget(heading("当前会话"));
    column->addLayout(sessionRows);
    column->addWidget(heading("我的设备"));
    column->addLayout(deviceRows);
    column->addWidget(error);
    column->addStretch();
    column->addLayout(buttons);

    connect(&account, &AccountSignals::changed, this, &MacConnectionSheet::rebuild);
    subscriptions.push_back(model.state().sessions.observe([this](const auto&) { rebuild(); }));
    rebuild();
}

const char* MacConnectionSheet::actionTitle(const MacDevice& device) {
    bool controllable =
        device.platform != "ios" && (!isDesktopPlatform(device.platform) || device.capabilities.inputReady);
    return controllable ? "连接" : "观看";
}

QString MacConnectionSheet::errorText() const {
    return error->isHidden() ? QString() : error->text();
}

void MacConnectionSheet::rebuild() {
    clear(sessionRows);
    clear(deviceRows);
    for (const auto& session : model.state().sessions.get()) {
        auto* switchTo = new QPushButton(QStringLiteral("切换到窗口"));
        connect(switchTo, &QPushButton::clicked, this, [this, id = session->id()] {
            accept();
            openWindow(id);
        });
        sessionRows->addWidget(
            entry(QString::fromStdString(displaySafe(session->state().device.get().name)), switchTo));
    }
    const auto& credentials = account.account().credentials();
    std::string self = credentials ? credentials->deviceID : std::string();
    for (const MacDevice& device : account.account().devices()) {
        if (device.id == self) continue;
        auto* button = new QPushButton(QString::fromUtf8(actionTitle(device)));
        button->setEnabled(MacDevicesPane::ready(device) && !connecting);
        connect(button, &QPushButton::clicked, this, [this, device] { connectDevice(device); });
        deviceRows->addWidget(entry(QString::fromStdString(displaySafe(device.name)), button));
    }
}

void MacConnectionSheet::connectDevice(const MacDevice& device) {
    if (connecting) return;
    connecting = true;
    rebuild();
    // Asked on the next turn of the main queue, after the click has been handled.
    QTimer::singleShot(0, this, [this, device] {
        connecting = false;
        openSession(model.openRemote(device));
    });
}

void MacConnectionSheet::openSession(const std::shared_ptr<MacRemoteSession>& session) {
    if (!session) {
        error->setText(QString::fromStdString(model.state().status.get()));
        error->show();
        rebuild();
        return;
    }
    accept();
    openWindow(session->id());
}

} // namespace quorlinth
