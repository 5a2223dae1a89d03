#include "ui/MacSharingPane.h"

#include "account/MacAccount.h"
#include "base/DisplayText.h"
#include "base/PlatformWords.h"
#include "model/MacModel.h"
#include "ui/AccountSignals.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace quorlinth {

namespace {

constexpr MacShareQuality kQualityOrder[] = {MacShareQuality::standard, MacShareQuality::sharp,
                                             MacShareQuality::native};

QLabel* note(const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text));
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #5f6368;"));
    return label;
}

// Sets a box without echoing the change back to the model.
void showChecked(QCheckBox* box, bool on) {
    QSignalBlocker quiet(box);
    box->setChecked(on);
}

QLabel* secretValue() {
    auto* label = new QLabel;
    QFont mono = label->font();
    mono.setFamily(QStringLiteral("monospace"));
    mono.setPointSizeF(mono.pointSizeF() * 1.3);
    mono.setBold(true);
    label->setFont(mono);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

MacSharingPane::MacSharingPane(AccountSignals& account, MacModel& model, QWidget* parent)
    : QWidget(parent), account(account), model(model) {
    auto* title = new QLabel(QStringLiteral("共享") + QString::fromUtf8(platformWords::kThisComputer));
    QFont bold = title->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    title->setFont(bold);

    startStop = new QPushButton;
    connect(startStop, &QPushButton::clicked, this, [this] {
        if (this->model.state().sharing.get())
            this->model.stopSharing();
        else
            this->model.startSharing();
    });
    status = new QLabel;
    status->setWordWrap(true);
    status->setTextFormat(Qt::PlainText);
    auto* top = new QHBoxLayout;
    top->addWidget(startStop);
    top->addWidget(status, 1);

    quality = new QComboBox;
    for (MacShareQuality choice : kQualityOrder)
        quality->addItem(QString::fromStdString(label(choice)), int(choice));
    connect(quality, &QComboBox::activated, this,
            [this](int index) { this->model.setQuality(MacShareQuality(quality->itemData(index).toInt())); });

    allowInput = new QCheckBox(QString::fromUtf8(kAllowInput));
    connect(allowInput, &QCheckBox::toggled, this, [this](bool on) { this->model.setAllowInput(on); });
    allowTransfer = new QCheckBox(QString::fromUtf8(kAllowTransfer));
    connect(allowTransfer, &QCheckBox::toggled, this, [this](bool on) { this->model.setAllowTransfer(on); });
    keepAwake = new QCheckBox(QString::fromUtf8(kKeepAwake));
    connect(keepAwake, &QCheckBox::toggled, this, [this](bool on) { this->model.setKeepAwake(on); });
    startAtLogin = new QCheckBox(QString::fromUtf8(platformWords::kStartAtLoginToggle));
    connect(startAtLogin, &QCheckBox::toggled, this, [this](bool on) { this->model.setStartAtLogin(on); });

    auto* controls = new QFormLayout;
    controls->addRow(QStringLiteral("画面"), new QLabel(QString::fromUtf8(kSource)));
    controls->addRow(QStringLiteral("画质"), quality);
    auto* switches = new QVBoxLayout;
    for (QCheckBox* box : {allowInput, allowTransfer, keepAwake, startAtLogin})
        switches->addWidget(box);

    auto* unattended = new QGroupBox(QString::fromUtf8(kUnattended));
    trustedRows = new QVBoxLayout;
    auto* unattendedColumn = new QVBoxLayout(unattended);
    unattendedColumn->addWidget(note(kUnattendedNote));
    unattendedColumn->addLayout(trustedRows);

    auto* left = new QVBoxLayout;
    left->addLayout(controls);
    left->addLayout(switches);
    left->addWidget(buildInputHelp());
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(buildPairing());
    right->addWidget(unattended);
    right->addStretch();
    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    auto* column = new QVBoxLayout(this);
    column->addWidget(title);
    column->addLayout(top);
    column->addLayout(columns);

    const MacModelState& state = model.state();
    auto refreshOnChange = [this](const auto&) { refresh(); };
    subscriptions.push_back(state.status.observe(refreshOnChange));
    subscriptions.push_back(state.sharing.observe(refreshOnChange));
    subscriptions.push_back(state.starting.observe(refreshOnChange));
    subscriptions.push_back(state.stoppingSharing.observe(refreshOnChange));
    subscriptions.push_back(state.allowInput.observe(refreshOnChange));
    subscriptions.push_back(state.inputPermissionGranted.observe(refreshOnChange));
    subscriptions.push_back(state.inputPermissionPending.observe(refreshOnChange));
    subscriptions.push_back(state.pairingCode.observe(refreshOnChange));
    subscriptions.push_back(state.pairingPassword.observe(refreshOnChange));
    subscriptions.push_back(state.quality.observe(refreshOnChange));
    subscriptions.push_back(state.allowTransfer.observe(refreshOnChange));
    subscriptions.push_back(state.keepAwake.observe(refreshOnChange));
    subscriptions.push_back(state.loginItemStatus.observe(refreshOnChange));
    subscriptions.push_back(state.accessByHost.observe([this](const auto&) {
        refresh();
        rebuildTrusted();
    }));
    connect(&account, &AccountSignals::changed, this, [this] {
        refresh();
        rebuildTrusted();
    });
    refresh();
    rebuildTrusted();
}

QWidget* MacSharingPane::buildPairing() {
    auto* box = new QGroupBox(QStringLiteral("设备码"));
    pairingCode = secretValue();
    pairingPassword = secretValue();
    pairing = new QPushButton(QString::fromUtf8(kPairingButton));
    connect(pairing, &QPushButton::clicked, this, [this] {
        pairingRunning = true;
        refresh();
        QPointer<MacSharingPane> self(this);
        this->model.refreshPairing([self] {
            if (!self) return;
            self->pairingRunning = false;
            self->refresh();
        });
    });
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("设备码"), pairingCode);
    form->addRow(QStringLiteral("临时密码"), pairingPassword);
    auto* column = new QVBoxLayout(box);
    column->addLayout(form);
    column->addWidget(pairing, 0, Qt::AlignLeft);
    column->addWidget(note(kPairingNote));
    return box;
}

QWidget* MacSharingPane::buildInputHelp() {
    inputState = new QLabel;
    inputState->setWordWrap(true);
    inputHelp = new QWidget;
    auto* recheck = new QPushButton(QStringLiteral("重新检查"));
    connect(recheck, &QPushButton::clicked, this, [this] { this->model.refreshInputPermission(); });
    auto* buttons = new QHBoxLayout;
    if (*platformWords::kInputSettingsURL) {
        auto* settings = new QPushButton(QStringLiteral("打开辅助功能设置"));
        connect(settings, &QPushButton::clicked, this,
                [] { QDesktopServices::openUrl(QUrl(QString::fromUtf8(platformWords::kInputSettingsURL))); });
        buttons->addWidget(settings);
    }
    buttons->addWidget(recheck);
    buttons->addStretch();
    auto* column = new QVBoxLayout(inputHelp);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(note(platformWords::kInputHelp));
    column->addLayout(buttons);

    auto* holder = new QWidget;
    auto* outer = new QVBoxLayout(holder);
    outer->setContentsMargins(0, 8, 0, 0);
    outer->addWidget(inputState);
    outer->addWidget(inputHelp);
    return holder;
}

void MacSharingPane::refresh() {
    const MacModelState& state = model.state();
    bool signedIn = account.account().credentials().has_value();
    bool sharing = state.sharing.get();
    bool busy = state.starting.get() || state.stoppingSharing.get();
    startStop->setText(QString::fromUtf8(state.stoppingSharing.get() ? kStopping
                                         : state.starting.get()      ? kStarting
                                         : sharing                   ? kStopButton
                                                                     : kStartButton));
    startStop->setEnabled(!busy && (sharing || signedIn));
    status->setText(QString::fromStdString(state.status.get()));

    quality->setCurrentIndex(quality->findData(int(state.quality.get())));
    showChecked(allowInput, state.allowInput.get());
    showChecked(allowTransfer, state.allowTransfer.get());
    showChecked(keepAwake, state.keepAwake.get());
    showChecked(startAtLogin, model.currentAccess().startAtLogin);
    startAtLogin->setEnabled(signedIn);

    bool granted = state.inputPermissionGranted.get();
    inputState->setText(QString::fromUtf8(granted                              ? platformWords::kInputReady
                                          : state.inputPermissionPending.get() ? platformWords::kInputWaiting
                                                                               : ""));
    inputState->setVisible(granted || state.inputPermissionPending.get());
    inputHelp->setVisible(!granted);

    const std::string& code = state.pairingCode.get();
    pairingCode->setText(code.empty() ? QStringLiteral("—") : QString::fromStdString(code));
    const std::string& password = state.pairingPassword.get();
    pairingPassword->setText(password.empty() ? QStringLiteral("—") : QString::fromStdString(password));
    // A code only works while this computer shares: stopping withdraws it.
    pairing->setEnabled(sharing && !busy && !pairingRunning);
}

void MacSharingPane::rebuildTrusted() {
    while (QLayoutItem* item = trustedRows->takeAt(0)) {
        // Later: the row may be the sender of the signal that got us here.
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    const auto& credentials = account.account().credentials();
    if (!credentials) return;
    MacSharingAccess access = model.currentAccess();
    for (const MacDevice& device : account.account().devices()) {
        if (device.id == credentials->deviceID) continue;
        auto* box = new QCheckBox(QString::fromStdString(displaySafe(device.name)));
        box->setChecked(access.trustedDevices.count(device.id) > 0);
        std::string id = device.id;
        connect(box, &QCheckBox::toggled, this, [this, id](bool on) { model.setTrusted(id, on); });
        trustedRows->addWidget(box);
    }
}

} // namespace quorlinth
