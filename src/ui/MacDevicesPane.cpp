#include "ui/MacDevicesPane.h"

#include "account/MacAccount.h"
#include "base/DisplayText.h"
#include "base/PlatformWords.h"
#include "lan/LANEndpoint.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "ui/AccountSignals.h"
#include "ui/LayoutRows.h"

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

QLabel* title(const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text));
    QFont bold = label->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    label->setFont(bold);
    return label;
}

// A framed row: the icon, the name in bold over its status lines, then the buttons `line` gets.
QFrame* framedRow(const QIcon& icon, const std::string& name, const QStringList& lines, QHBoxLayout*& line) {
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    auto* picture = new QLabel;
    picture->setPixmap(icon.pixmap(32, 32));
    auto* nameLabel = new QLabel(QString::fromStdString(displaySafe(name)));
    nameLabel->setTextFormat(Qt::PlainText);
    QFont bold = nameLabel->font();
    bold.setBold(true);
    nameLabel->setFont(bold);
    auto* text = new QVBoxLayout;
    text->addWidget(nameLabel);
    for (const QString& status : lines) {
        auto* label = new QLabel(status);
        label->setWordWrap(true);
        text->addWidget(label);
    }
    line = new QHBoxLayout(frame);
    line->addWidget(picture, 0, Qt::AlignTop);
    line->addLayout(text, 1);
    return frame;
}

} // namespace

MacDevicesPane::MacDevicesPane(AccountSignals& account, MacModel& model, QWidget* parent)
    : QWidget(parent), account(account), model(model) {
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
    header->addWidget(title("我的设备"));
    header->addStretch();
    header->addWidget(connectSheet);
    header->addWidget(guestSheet);
    header->addWidget(refresh);

    sharingRefusal = wrapped(kSharingRefusal);
    sharingRefusal->setStyleSheet(QStringLiteral("color: #b3261e;"));
    rows = new QVBoxLayout;
    lanRows = new QVBoxLayout;
    auto* column = new QVBoxLayout(this);
    column->addLayout(header);
    column->addWidget(wrapped(kHint));
    column->addWidget(sharingRefusal);
    column->addLayout(rows);
    column->addWidget(title(platformWords::kLANComputers));
    column->addWidget(wrapped(platformWords::kLANExplanation));
    column->addLayout(lanRows);
    column->addStretch();

    connect(&account, &AccountSignals::changed, this, &MacDevicesPane::rebuild);
    subscriptions.push_back(model.state().sharing.observe([this](bool) { rebuild(); }));
    subscriptions.push_back(model.state().starting.observe([this](bool) { rebuild(); }));
    subscriptions.push_back(model.state().sessions.observe([this](const auto&) { rebuild(); }));
    subscriptions.push_back(model.state().lanFound.observe([this](const auto&) { rebuild(); }));
    model.browseLAN();
    rebuild();
}

bool MacDevicesPane::ready(const MacDevice& device) {
    return device.online && device.capabilities.captureReady && device.capabilities.webrtc;
}

const char* MacDevicesPane::notReadyReason(const MacDevice& device) {
    return device.online ? "对方还没有开启共享" : "对方不在线";
}

void MacDevicesPane::rebuild() {
    clearRows(rows);
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
    rebuildLAN(sharing);
}

void MacDevicesPane::rebuildLAN(bool sharing) {
    clearRows(lanRows);
    std::vector<std::shared_ptr<MacRemoteSession>> lanSessions;
    for (const auto& session : model.state().sessions.get())
        if (session->deviceID().starts_with("lan:")) lanSessions.push_back(session);
    for (const MacLANBrowser::Found& found : model.state().lanFound.get()) {
        std::string id = MacModel::lanDeviceID(found.endpoint);
        auto match = std::find_if(lanSessions.begin(), lanSessions.end(),
                                  [&](const auto& session) { return session->deviceID() == id; });
        std::shared_ptr<MacRemoteSession> open;
        if (match != lanSessions.end()) {
            open = *match;
            lanSessions.erase(match);
        }
        lanRows->addWidget(lanRow(found.name, found.endpoint, open, sharing));
    }
    // Sessions with an address typed or saved, which discovery does not list.
    for (const auto& session : lanSessions)
        if (auto at = endpoint(session->deviceID().substr(4)))
            lanRows->addWidget(lanRow(session->state().device.get().name, *at, session, sharing));
}

QWidget* MacDevicesPane::lanRow(const std::string& name, const LANEndpoint& endpoint,
                                const std::shared_ptr<MacRemoteSession>& open, bool sharing) {
    QHBoxLayout* line = nullptr;
    QFrame* frame = framedRow(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon), name,
                              {QString::fromUtf8(kLANStatus)}, line);
    frame->setToolTip(QString::fromStdString(endpoint.text()));
    if (open) {
        addSessionButtons(line, open);
        return frame;
    }
    auto* dial = new QPushButton(QStringLiteral("直连"));
    dial->setObjectName(QString::fromStdString(MacModel::lanDeviceID(endpoint)));
    dial->setEnabled(!sharing);
    connect(dial, &QPushButton::clicked, this, [this, endpoint, name] { openLAN(endpoint, name); });
    line->addWidget(dial, 0, Qt::AlignVCenter);
    return frame;
}

void MacDevicesPane::addSessionButtons(QHBoxLayout* line, const std::shared_ptr<MacRemoteSession>& open) {
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
}

QWidget* MacDevicesPane::row(const MacDevice& device, bool sharing) {
    QStringList lines{QString::fromStdString(device.statusText())};
    if (!ready(device)) lines.append(QString::fromUtf8(notReadyReason(device)));
    QHBoxLayout* line = nullptr;
    QFrame* frame = framedRow(platformIcon(device.platform), device.name, lines, line);
    std::shared_ptr<MacRemoteSession> open;
    for (const auto& session : model.state().sessions.get())
        if (session->deviceID() == device.id) open = session;
    if (open) {
        // A connected device offers its window and the way to end the session.
        addSessionButtons(line, open);
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

void MacDevicesPane::openLAN(const LANEndpoint& endpoint, const std::string& name) {
    auto session = model.openLAN(endpoint, name);
    if (!session) {
        emit notice(QString::fromStdString(model.state().status.get()));
        return;
    }
    emit showRemote(QString::fromStdString(session->id()));
}

} // namespace quorlinth
