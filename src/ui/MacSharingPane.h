#pragma once

#include "base/Observable.h"

#include <QWidget>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace quorlinth {

class AccountSignals;
class MacModel;

// "共享这台 Mac" (as the platform names this computer): start and stop, the status line, the
// quality, remote input, transfer, keep-awake, start at login, the trusted devices and the
// device code with its temporary password. Every control calls the model; every text follows it.
class MacSharingPane : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kStartButton = "启动屏幕共享";
    static constexpr const char* kStopButton = "停止屏幕共享";
    static constexpr const char* kStarting = "正在启动…";
    static constexpr const char* kStopping = "正在停止…";
    static constexpr const char* kSource = "主显示器 · H.264 视频";
    static constexpr const char* kAllowInput = "允许远程鼠标和键盘";
    static constexpr const char* kAllowTransfer = "允许剪贴板与文件传输";
    static constexpr const char* kKeepAwake = "共享时保持唤醒";
    static constexpr const char* kUnattended = "无人值守远程";
    static constexpr const char* kUnattendedNote =
        "勾选同账号的可信设备后，共享期间会自动接受它们的连接。设备码和其他设备仍需确认。";
    static constexpr const char* kPairingButton = "生成 / 更换设备码";
    static constexpr const char* kPairingNote = "跨账号协助每次仍需你确认。密码使用一次后失效。";

    MacSharingPane(AccountSignals& account, MacModel& model, QWidget* parent = nullptr);

    QPushButton* startStopButton() const { return startStop; }
    QPushButton* pairingButton() const { return pairing; }

private:
    QWidget* buildPairing();
    QWidget* buildInputHelp();
    void refresh();
    void rebuildTrusted();

    AccountSignals& account;
    MacModel& model;
    QPushButton* startStop = nullptr;
    QLabel* status = nullptr;
    QComboBox* quality = nullptr;
    QCheckBox* allowInput = nullptr;
    QCheckBox* allowTransfer = nullptr;
    QCheckBox* keepAwake = nullptr;
    QCheckBox* startAtLogin = nullptr;
    QLabel* inputState = nullptr;
    QWidget* inputHelp = nullptr;
    QVBoxLayout* trustedRows = nullptr;
    QLabel* pairingCode = nullptr;
    QLabel* pairingPassword = nullptr;
    QPushButton* pairing = nullptr;
    bool pairingRunning = false;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
