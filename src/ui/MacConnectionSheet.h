#pragma once

#include "base/Observable.h"

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace quorlinth {

class AccountSignals;
class MacModel;
class MacRemoteSession;
struct LANEndpoint;
struct MacDevice;

// "连接设备": the open sessions to switch to, the account's devices, the computers found on the
// local network, the saved LAN addresses and an address to dial directly. A session
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
    // "IP 直连": dials the typed address; one that does not parse does nothing.
    void connectAddress();

    QLineEdit* addressField() const { return address; }
    QPushButton* addressButton() const { return dialAddress; }
    // The saved addresses shown, as "host:port".
    std::vector<std::string> savedAddresses() const { return shownAddresses; }
    // The computers found on the local network, by name; each row's "直连" is named by the
    // found endpoint's LAN device identifier.
    std::vector<std::string> foundNames() const { return shownFound; }
    void forgetAddress(const std::string& saved);

private:
    void rebuild();
    void rebuildSaved();
    void rebuildFound();
    void updateAddressButton();
    void connectLAN(const LANEndpoint& endpoint, const std::string& name);
    // The device of the session whose window asked for the sheet, if it is still open.
    std::string currentDeviceID() const;
    void openSession(const std::shared_ptr<MacRemoteSession>& session);

    AccountSignals& account;
    MacModel& model;
    std::optional<std::string> currentSessionID;
    OpenWindow openWindow;
    QVBoxLayout* sessionRows = nullptr;
    QVBoxLayout* deviceRows = nullptr;
    QVBoxLayout* foundRows = nullptr;
    QVBoxLayout* savedRows = nullptr;
    QLineEdit* address = nullptr;
    QPushButton* dialAddress = nullptr;
    std::vector<std::string> shownAddresses;
    std::vector<std::string> shownFound;
    QLabel* error = nullptr;
    bool connecting = false;
    std::vector<Subscription> subscriptions;
};

} // namespace quorlinth
