#pragma once

#include "base/Observable.h"

#include <QWidget>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;

namespace quorlinth {

class AccountSignals;
class MacLoginFlow;
class MacModel;

// The settings window: the remembered sharing choices (quality, transfer, keep-awake, start at
// login), the taskbar toggle and the account.
class MacSettingsView : public QWidget {
    Q_OBJECT
public:
    MacSettingsView(AccountSignals& account, MacModel& model, MacLoginFlow& flow,
                    std::function<bool()> dockVisible, std::function<void(bool)> setDockVisible,
                    QWidget* parent = nullptr);

private:
    void refresh();

    AccountSignals& account;
    MacModel& model;
    QComboBox* quality = nullptr;
    QLabel* qualityNote = nullptr;
    QCheckBox* allowTransfer = nullptr;
    QCheckBox* keepAwake = nullptr;
    QCheckBox* startAtLogin = nullptr;
    QWidget* accountSection = nullptr;
    QLabel* signedOut = nullptr;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
