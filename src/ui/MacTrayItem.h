#pragma once

#include "base/Observable.h"

#include <QObject>
#include <functional>
#include <vector>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace quorlinth {

class MacModel;

// The tray item: its icon says whether this computer is shared; its menu has the status line,
// "打开 Quorlinth", the taskbar toggle and "退出 Quorlinth".
class MacTrayItem : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kSharingLine = "正在共享";
    static constexpr const char* kStoppingLine = "正在停止…";
    static constexpr const char* kIdleLine = "未共享";

    struct Actions {
        std::function<void()> openMain;
        std::function<void()> openSettings;
        std::function<void()> quit;
        std::function<bool()> dockVisible;
        std::function<void(bool)> setDockVisible;
    };

    MacTrayItem(MacModel& model, Actions actions, QObject* parent = nullptr);
    ~MacTrayItem() override;

    QMenu* menu() const { return contents; }
    // "正在共享这台 Mac" (as the platform names this computer), "正在停止…" or "未共享".
    static QString statusLine(bool sharing, bool stopping);
    static QIcon icon(bool sharing);

private:
    void refresh();

    MacModel& model;
    Actions actions;
    QMenu* contents = nullptr;
    QAction* status = nullptr;
    QAction* dock = nullptr;
    QSystemTrayIcon* tray = nullptr;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
