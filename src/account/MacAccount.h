#pragma once

#include "account/MacCredentials.h"
#include "account/MacDevice.h"
#include "account/MacFailure.h"
#include "account/MacHTTP.h"
#include "account/MacServiceConfig.h"
#include "base/Json.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

class KeyStore;

// The signed-in state: the active account and its tokens, this machine's binding as a device,
// the account's device list, and the other accounts saved on this machine. Lives on the main
// thread: every operation is called there, completes there, and publishes there (onChange).
// Persistent state lives in the key store, items "session" and "installation".
class MacAccount : public std::enable_shared_from_this<MacAccount> {
public:
    static constexpr const char* kKeyStoreService = "com.pelmarock.quorlinth.v1";
    static constexpr const char* kSessionItem = "session";
    static constexpr const char* kInstallationItem = "installation";
    // Credentials closer to expiry than this are renewed before use.
    static constexpr int64_t kRenewalMarginSeconds = 3600;

    struct Options {
        MacServiceConfig service;
        // Current Unix time in seconds; the system clock when empty.
        std::function<int64_t()> now;
        // This machine's name as other devices list it; the host name when empty.
        std::string computerName;
    };

    template <class T> using Done = std::function<void(MacResult<T>)>;

    // Loads the stored sessions. `completions` is the main queue the account lives on.
    static std::shared_ptr<MacAccount> create(std::shared_ptr<KeyStore> keyStore, Options options,
                                              const Dispatcher& completions);

    // Published state.
    const std::optional<MacCredentials>& credentials() const { return active; }
    const std::vector<MacDevice>& devices() const { return deviceList; }
    const std::vector<SavedAccountChoice>& savedAccounts() const { return choices; }
    bool needsPasswordSetup() const { return passwordSetupPending; }
    const std::string& message() const { return notice; }
    bool busy() const { return working; }
    void setMessage(std::string text);
    void setBusy(bool value);
    // Called after every change of the published state.
    std::function<void()> onChange;

    const AccountSessions& sessions() const { return stored; }
    const std::optional<Json>& pendingSMS() const { return pendingSMSResponse; }
    // Leaves a pending password setup without completing it.
    void cancelPasswordSetup();
    MacHTTP& http() { return client; }

    void login(const std::string& username, const std::string& password, Done<void> done);
    void smsLogin(const std::string& phone, const std::string& code, Done<void> done);
    void setupPassword(const std::string& newPassword, Done<void> done);
    // Completes any sign-in path with the service's sign-in response: binds this machine,
    // stores the account as active and refreshes the device list.
    void completeLogin(const Json& response, Done<void> done);
    void switchAccount(const std::optional<std::string>& key, Done<void> done);
    void validCredentials(Done<MacCredentials> done);
    void renew(const MacCredentials& credentials, Done<MacCredentials> done);
    void refreshDevices(Done<void> done);
    // Failures are ignored; `done` runs when the answer is in.
    void heartbeat(bool captureReady, bool inputReady, bool webrtc, std::function<void()> done = {});
    // Forgets the active session at once, then tells the service; `done` runs after both calls.
    void logout(std::function<void()> done = {});
    MacResult<std::string> installationID();

    // The device list as published for the device `selfID`: listed entries in server order,
    // plus this machine even when unlisted.
    static std::vector<MacDevice> visibleDevices(const std::vector<MacDevice>& devices,
                                                 const std::string& selfID);

    MacAccount(std::shared_ptr<KeyStore> keyStore, Options options, const Dispatcher& completions);

private:
    void load();
    MacResult<void> saveSessions(const std::optional<std::string>& activeKey, AccountSessions sessions);
    MacResult<void> store(const MacCredentials& credentials);
    // The first request may renew once on an expired token; the repeat may not.
    void fetchDevices(const MacCredentials& credentials, const std::string& accountToken, bool mayRenew,
                      Done<void> done);
    bool isStillActive(const MacCredentials& credentials) const;
    int64_t now() const;
    void publish();

    std::shared_ptr<KeyStore> keys;
    Options options;
    MacHTTP client;

    std::optional<MacCredentials> active;
    std::vector<MacDevice> deviceList;
    std::vector<SavedAccountChoice> choices;
    bool passwordSetupPending = false;
    std::string notice;
    bool working = false;
    AccountSessions stored;
    std::optional<Json> pendingSMSResponse;
};

} // namespace quorlinth
