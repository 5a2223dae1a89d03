#pragma once

#include "base/Observable.h"

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QVBoxLayout;

namespace quorlinth {

class AccountSignals;
class MacModel;
class MacRemoteSession;
struct MacDevice;

// "连接设备": the open sessions to switch to and the account's devices to connect to. A session
// the model opens has its window shown and the sheet closes; a refusal stays in the sheet.
class MacConnectionSheet : public QDialog {
    Q_OBJECT
public:
    using OpenWindow = std::function<void(const std::string& sessionID)>;

    // `currentSessionID`: the session whose window asked for the sheet, if any.
    MacConnectionSheet(AccountSignals& account, MacModel& model, std::optional<std::string> currentSessionID,
                       OpenWindow openWindow, QWidget* parent = nullptr);

    // "连接" for a device that can be controlled, "观看" for one that can only be watched.
    static const char* actionTitle(const MacDevice& device);
    QString errorText() const;
    // Asks the model for a session with the device; what happens next is the sheet's Open.
    void connectDevice(const MacDevice& device);

private:
    void rebuild();
    void openSession(const std::shared_ptr<MacRemoteSession>& session);

    AccountSignals& account;
    MacModel& model;
    std::optional<std::string> currentSessionID;
    OpenWindow openWindow;
    QVBoxLayout* sessionRows = nullptr;
    QVBoxLayout* deviceRows = nullptr;
    QLabel* error = nullptr;
    bool connecting = false;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
