#pragma once

#include "base/Observable.h"

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class QHBoxLayout;
class QLabel;
class QVBoxLayout;

namespace quorlinth {

class AccountSignals;
class MacModel;
struct LANEndpoint;
struct MacDevice;
class MacRemoteSession;

// "我的设备": the account's other devices with their status texts and a connect button each;
// below them "局域网内的 Mac" (as the platform names it): the computers found on the local network and the
// open LAN sessions.
class MacDevicesPane : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kHint = "选择已开启共享的 Mac 或 Android；iPhone 可共享画面供观看。";
    static constexpr const char* kEmpty = "还没有其他设备。请在设备上登录同一账号并开启共享。";
    static constexpr const char* kSharingRefusal = "本机正在共享。请先停止共享，再控制其他设备。";
    static constexpr const char* kLANStatus = "局域网 · 正在共享";

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
    void rebuildLAN(bool sharing);
    // A LAN computer's row: "直连" for `endpoint`, or the window and "断开" of its open session.
    QWidget* lanRow(const std::string& name, const LANEndpoint& endpoint,
                    const std::shared_ptr<MacRemoteSession>& open, bool sharing);
    // "切换到窗口" and "断开" for an open session.
    void addSessionButtons(QHBoxLayout* line, const std::shared_ptr<MacRemoteSession>& open);
    void open(const MacDevice& device);
    void openLAN(const LANEndpoint& endpoint, const std::string& name);

    AccountSignals& account;
    MacModel& model;
    QVBoxLayout* rows = nullptr;
    QVBoxLayout* lanRows = nullptr;
    QLabel* sharingRefusal = nullptr;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
