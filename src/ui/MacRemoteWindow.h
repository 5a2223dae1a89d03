#pragma once

#include "base/Observable.h"

#include <QWidget>
#include <memory>
#include <string>

class QTabWidget;

namespace quorlinth {

class MacModel;
class MacRemoteSession;
class MacRemoteSessionView;
class UserDefaults;

// The window "远程": one tab per open remote session, following the model's list. A session
// that opens adds its tab and brings the window up; closing a tab or the window closes its
// sessions in the model. Main thread only.
class MacRemoteWindow : public QWidget {
    Q_OBJECT
public:
    MacRemoteWindow(MacModel& model, UserDefaults& defaults, QWidget* parent = nullptr);
    ~MacRemoteWindow() override;

    // Brings the session's tab to the front; false when no such session is open.
    bool showSession(const std::string& sessionID);
    void toggleFullScreen();
    MacRemoteSessionView* sessionView(const std::string& sessionID) const;
    int sessionCount() const;

signals:
    // The bar's "连接另一台…" of the session named.
    void connectAnother(QString sessionID);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void follow(const std::vector<std::shared_ptr<MacRemoteSession>>& sessions);
    void add(const std::shared_ptr<MacRemoteSession>& session);
    MacRemoteSessionView* viewAt(int index) const;

    MacModel& model;
    UserDefaults& defaults;
    QTabWidget* tabs = nullptr;
    Subscription sessionsWatch;
};

} // namespace quorlinth
