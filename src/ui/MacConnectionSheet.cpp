#include "ui/MacConnectionSheet.h"

#include "account/MacAccount.h"
#include "base/DisplayText.h"
#include "base/PlatformWords.h"
#include "lan/LANEndpoint.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "ui/AccountSignals.h"
#include "ui/LayoutRows.h"
#include "ui/MacDevicesPane.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
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
    foundRows = new QVBoxLayout;
    savedRows = new QVBoxLayout;
    address = new QLineEdit;
    address->setPlaceholderText(QStringLiteral("IP 地址，例如 192.168.1.20"));
    dialAddress = new QPushButton(QStringLiteral("连接"));
    connect(address, &QLineEdit::textChanged, this, &MacConnectionSheet::updateAddressButton);
    connect(address, &QLineEdit::returnPressed, this, &MacConnectionSheet::connectAddress);
    connect(dialAddress, &QPushButton::clicked, this, &MacConnectionSheet::connectAddress);
    auto* addressLine = new QHBoxLayout;
    addressLine->addWidget(address, 1);
    addressLine->addWidget(dialAddress);
    auto* addressNote = new QLabel(QStringLiteral("首次 IP 直连需输入对方的配对密码并获得确认。"));
    addressNote->setWordWrap(true);
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
    column->addWidget(heading(platformWords::kLANComputers));
    column->addLayout(foundRows);
    column->addWidget(heading("已保存的地址"));
    column->addLayout(savedRows);
    column->addWidget(heading("IP 直连"));
    column->addLayout(addressLine);
    column->addWidget(addressNote);
    column->addWidget(error);
    column->addStretch();
    column->addLayout(buttons);

    connect(&account, &AccountSignals::changed, this, &MacConnectionSheet::rebuild);
    subscriptions.push_back(model.state().sessions.observe([this](const auto&) { rebuild(); }));
    subscriptions.push_back(model.state().lanFound.observe([this](const auto&) { rebuild(); }));
    model.browseLAN();
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
    clearRows(sessionRows);
    clearRows(deviceRows);
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
    rebuildFound();
    rebuildSaved();
    updateAddressButton();
}

void MacConnectionSheet::rebuildFound() {
    clearRows(foundRows);
    shownFound.clear();
    for (const MacLANBrowser::Found& found : model.state().lanFound.get()) {
        auto* dial = new QPushButton(QStringLiteral("直连"));
        dial->setObjectName(QString::fromStdString(MacModel::lanDeviceID(found.endpoint)));
        dial->setEnabled(!connecting);
        connect(dial, &QPushButton::clicked, this, [this, found] { connectLAN(found.endpoint, found.name); });
        QWidget* row = entry(QString::fromStdString(displaySafe(found.name)), dial);
        row->setToolTip(QString::fromStdString(found.endpoint.text()));
        foundRows->addWidget(row);
        shownFound.push_back(found.name);
    }
}

void MacConnectionSheet::rebuildSaved() {
    clearRows(savedRows);
    shownAddresses.clear();
    std::string current = currentDeviceID();
    for (const MacLANTrust::Entry& saved : model.knownLANHosts()) {
        auto parsed = endpoint(saved.name);
        if (!parsed || MacModel::lanDeviceID(*parsed) == current) continue;
        std::string name = saved.displayName.value_or(saved.name);
        auto* dial = new QPushButton(QStringLiteral("直连"));
        dial->setEnabled(!connecting);
        connect(dial, &QPushButton::clicked, this, [this, at = *parsed, name] { connectLAN(at, name); });
        QWidget* row = entry(QString::fromStdString(displaySafe(name)), dial);
        row->setToolTip(QString::fromStdString(saved.name));
        auto* forget = new QAction(QStringLiteral("忘记此地址"), row);
        connect(forget, &QAction::triggered, this,
                [this, forgotten = saved.name] { forgetAddress(forgotten); });
        row->addAction(forget);
        row->setContextMenuPolicy(Qt::ActionsContextMenu);
        savedRows->addWidget(row);
        shownAddresses.push_back(saved.name);
    }
}

void MacConnectionSheet::forgetAddress(const std::string& saved) {
    model.forgetLANHost(saved);
    rebuildSaved(); // the old rows, the menu's included, are deleted later
}

void MacConnectionSheet::updateAddressButton() {
    dialAddress->setEnabled(!connecting && endpoint(address->text().toStdString()).has_value());
}

std::string MacConnectionSheet::currentDeviceID() const {
    if (!currentSessionID) return {};
    for (const auto& session : model.state().sessions.get())
        if (session->id() == *currentSessionID) return session->deviceID();
    return {};
}

void MacConnectionSheet::connectAddress() {
    std::string typed = address->text().trimmed().toStdString();
    auto parsed = endpoint(typed);
    if (!parsed) return;
    connectLAN(*parsed, typed);
}

void MacConnectionSheet::connectLAN(const LANEndpoint& at, const std::string& name) {
    if (connecting) return;
    connecting = true;
    rebuild();
    QTimer::singleShot(0, this, [this, at, name] {
        connecting = false;
        openSession(model.openLAN(at, name));
    });
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
