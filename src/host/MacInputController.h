#pragma once

#include "base/LockedBox.h"
#include "base/Scheduler.h"
#include "host/MacInput.h"
#include "platform/InputInjector.h"

#include <functional>
#include <memory>
#include <string>

namespace quorlinth {

// Whether the user asked for remote input while the permission was missing, and whether the
// system prompt was already shown in this run. Not persisted.
struct MacInputPermissionState {
    bool pending = false;
    bool prompted = false;
};

// The remote-input switch and the permission it depends on: the piece of the application model
// that decides when input flows. Main thread only.
class MacInputController {
public:
    static constexpr const char* kEnabledStatus = "辅助功能权限已就绪，远程鼠标和键盘已启用";
    static constexpr const char* kStillWaitingStatus =
        "仍在等待当前应用的辅助功能授权；可点击“打开辅助功能设置”检查，不会重复弹出提示。";
    static constexpr const char* kPromptedStatus =
        "请在辅助功能中添加并允许当前这份 Quorlinth，返回后会自动检查；旧开发版的授权不适用于此版本。";
    static constexpr const char* kRevokedStatus = "辅助功能权限已关闭，远程输入已停止";
    static constexpr Millis kPollInterval{1000};

    // What the model supplies: persisting `restoreInput` with the sharing access settings, the
    // capture pipeline's screen-locked state, the account heartbeat after every change (the
    // model sends it only while sharing) and its status line.
    struct Hooks {
        std::function<void(bool restoreInput)> persistAccess;
        std::function<bool()> screenLocked;
        std::function<void(bool inputReady)> announceInputReady;
        std::function<void(const std::string&)> onStatus;
    };

    MacInputController(InputInjector& injector, MacInput& input, std::shared_ptr<LockedInputFlag> inputFlag,
                       Hooks hooks);

    // The user's switch.
    void setAllowInput(bool on);
    // The permission poll; also run on demand from the interface.
    void refreshInputPermission();
    // The common effect of every change of the switch.
    void applyAllowInput(bool on);

    // Runs refreshInputPermission() every second on `mainThread` until stopped or destroyed.
    void startPermissionPolling(Dispatcher& mainThread);
    void stopPermissionPolling() { permissionTask.cancel(); }

    bool allowInput() const { return allowed; }
    bool inputPermissionGranted() const { return granted; }
    bool inputPermissionPending() const { return pendingShown; }
    MacInputPermissionState inputPermission() const { return permission; }

private:
    void enable();
    void status(const std::string& text);

    InputInjector& injector;
    MacInput& input;
    std::shared_ptr<LockedInputFlag> inputFlag;
    Hooks hooks;

    bool allowed = false;
    bool granted = false;
    bool pendingShown = false;
    MacInputPermissionState permission;
    Timer permissionTask;
};

} // namespace quorlinth
