#pragma once

#include "base/Observable.h"

#include <QWidget>
#include <vector>

class QLabel;
class QVBoxLayout;

namespace quorlinth {

class AccountSignals;
class MacModel;
struct MacDevice;

// "我的设备": the account's other devices with their status texts and a connect button each.
class MacDevicesPane : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kHint = "选择已开启共享的 Mac 或 Android；iPhone 可共享画面供观看。";
    static constexpr const char* kEmpty = "还没有其他设备。请在设备上登录同一账号并开启共享。";
    static constexpr const char* kSharingRefusal = "本机正在共享。请先停止共享，再控制其他设备。";

    MacDevicesPane(AccountSignals& account, MacModel& model, QWidget* parent = nullptr);

    // Whether a device can be opened now; its explanation when it cannot.
    static bool ready(const MacDevice& device);
    static const char* notReadyReason(const MacDevice& device);

signals:
    // A line for the window's status bar.
    void notice(const QString& text);
    // The window of an open session should come to the front.
    void showRemote(const QString& sessionID);
    void connectionSheetRequested();
    void guestSheetRequested();

private:
    void rebuild();
    QWidget* row(const MacDevice& device, bool sharing);
    void open(const MacDevice& device);

    AccountSignals& account;
    MacModel& model;
    QVBoxLayout* rows = nullptr;
    QLabel* sharingRefusal = nullptr;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
