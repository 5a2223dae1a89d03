#include "ui/MacSettingsView.h"

#include "account/MacAccount.h"
#include "base/PlatformWords.h"
#include "model/MacModel.h"
#include "ui/AccountSignals.h"
#include "ui/MacAccountSection.h"
#include "ui/MacSharingPane.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

namespace quorlinth {

namespace {

constexpr MacShareQuality kQualityOrder[] = {MacShareQuality::standard, MacShareQuality::sharp,
                                             MacShareQuality::native};

void showChecked(QCheckBox* box, bool on) {
    QSignalBlocker quiet(box);
    box->setChecked(on);
}

} // namespace

MacSettingsView::MacSettingsView(AccountSignals& account, MacModel& model, MacLoginFlow& flow,
                                 std::function<bool()> dockVisible, std::function<void(bool)> setDockVisible,
                                 QWidget* parent)
    : QWidget(parent, Qt::Window), account(account), model(model) {
    setWindowTitle(QStringLiteral("Quorlinth 设置"));

    quality = new QComboBox;
    for (MacShareQuality choice : kQualityOrder)
        quality->addItem(QString::fromStdString(label(choice)), int(choice));
    connect(quality, &QComboBox::activated, this,
            [this](int index) { this->model.setQuality(MacShareQuality(quality->itemData(index).toInt())); });
    qualityNote = new QLabel(QStringLiteral("新的画质从下一次启动共享时开始生效。"));
    qualityNote->setWordWrap(true);
    allowTransfer = new QCheckBox(QString::fromUtf8(MacSharingPane::kAllowTransfer));
    connect(allowTransfer, &QCheckBox::toggled, this, [this](bool on) { this->model.setAllowTransfer(on); });
    keepAwake = new QCheckBox(QString::fromUtf8(MacSharingPane::kKeepAwake));
    connect(keepAwake, &QCheckBox::toggled, this, [this](bool on) { this->model.setKeepAwake(on); });
    startAtLogin = new QCheckBox(QString::fromUtf8(platformWords::kStartAtLoginToggle));
    connect(startAtLogin, &QCheckBox::toggled, this, [this](bool on) { this->model.setStartAtLogin(on); });

    auto* sharing = new QGroupBox(QStringLiteral("共享"));
    auto* sharingForm = new QFormLayout(sharing);
    sharingForm->addRow(QStringLiteral("画质"), quality);
    sharingForm->addRow(qualityNote);
    sharingForm->addRow(allowTransfer);
    sharingForm->addRow(keepAwake);
    sharingForm->addRow(startAtLogin);

    auto* appearance = new QGroupBox(QStringLiteral("界面"));
    auto* dock = new QCheckBox(QString::fromUtf8(platformWords::kDockToggle));
    dock->setChecked(dockVisible());
    connect(dock, &QCheckBox::toggled, this, [setDockVisible](bool on) { setDockVisible(on); });
    (new QVBoxLayout(appearance))->addWidget(dock);

    auto* accountBox = new QGroupBox(QStringLiteral("账号"));
    accountSection = new MacAccountSection(account, flow);
    signedOut = new QLabel(QStringLiteral("未登录。请在主窗口登录账号。"));
    auto* accountColumn = new QVBoxLayout(accountBox);
    accountColumn->addWidget(accountSection);
    accountColumn->addWidget(signedOut);

    auto* column = new QVBoxLayout(this);
    column->addWidget(sharing);
    column->addWidget(appearance);
    column->addWidget(accountBox);
    column->addStretch();
    resize(520, 480);

    const MacModelState& state = model.state();
    auto refreshOnChange = [this](const auto&) { refresh(); };
    subscriptions.push_back(state.quality.observe(refreshOnChange));
    subscriptions.push_back(state.allowTransfer.observe(refreshOnChange));
    subscriptions.push_back(state.keepAwake.observe(refreshOnChange));
    subscriptions.push_back(state.accessByHost.observe(refreshOnChange));
    subscriptions.push_back(state.loginItemStatus.observe(refreshOnChange));
    connect(&account, &AccountSignals::changed, this, &MacSettingsView::refresh);
    refresh();
}

void MacSettingsView::refresh() {
    const MacModelState& state = model.state();
    bool signedIn = account.account().credentials().has_value();
    quality->setCurrentIndex(quality->findData(int(state.quality.get())));
    showChecked(allowTransfer, state.allowTransfer.get());
    showChecked(keepAwake, state.keepAwake.get());
    showChecked(startAtLogin, model.currentAccess().startAtLogin);
    startAtLogin->setEnabled(signedIn);
    accountSection->setVisible(signedIn);
    signedOut->setVisible(!signedIn);
}

} // namespace quorlinth
