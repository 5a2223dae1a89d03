#pragma once

#include "account/MacAccount.h"
#include "base/LockedBox.h"
#include "base/Observable.h"
#include "base/Scheduler.h"
#include "capture/MacCapture.h"
#include "host/MacInput.h"
#include "host/MacInputController.h"
#include "lan/LANEndpoint.h"
#include "lan/MacLANBrowser.h"
#include "lan/MacLANHost.h"
#include "lan/MacLANTrust.h"
#include "model/MacHostTransfer.h"
#include "model/MacPowerState.h"
#include "model/MacPrompter.h"
#include "model/MacRemoteSession.h"
#include "model/MacSharingSettings.h"
#include "model/ShareHostHandle.h"
#include "platform/InputInjector.h"
#include "platform/KeyboardInputSources.h"
#include "platform/LoginItem.h"
#include "platform/PowerManagement.h"
#include "updates/MacUpdateResume.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

class UserDefaults;

// What the model publishes; the interface (or the command line) observes it. Main thread only.
struct MacModelState {
    Observable<std::string> status;
    Observable<bool> sharing;
    Observable<bool> starting;
    Observable<bool> stoppingSharing;
    Observable<bool> allowInput;
    Observable<bool> inputPermissionGranted;
    Observable<bool> inputPermissionPending;
    Observable<std::string> pairingCode;
    Observable<std::string> pairingPassword;
    Observable<MacShareQuality> quality{MacShareQuality::native};
    Observable<MacSharingAccessMap> accessByHost;
    Observable<int> loginItemStatus;
    Observable<bool> allowTransfer;
    Observable<bool> keepAwake{true};
    Observable<bool> viewerConnected;
    Observable<std::vector<std::shared_ptr<MacRemoteSession>>> sessions;
    Observable<bool> lanEnabled{true};
    Observable<std::string> lanPassword;
    Observable<std::vector<std::string>> lanAddresses;
    // The computers sharing on the local network once browsing has started; never this one.
    Observable<std::vector<MacLANBrowser::Found>> lanFound;
    Observable<std::vector<MacLANTrust::Entry>> lanTrusted;
    Observable<std::string> lanNote;
    Observable<std::optional<TransferProgress>> transferProgress;
    Observable<std::string> transferNote;
};

// The application's central object: sharing this machine (capture, share host, input, power,
// the device code) and the persisted sharing settings. Created once at start-up by the
// composition root, which hands it the platform backends; lives on the main queue.
class MacModel : public std::enable_shared_from_this<MacModel> {
public:
    static constexpr const char* kSharingStatus = "正在共享主显示器";
    static constexpr const char* kStartFailedPrefix = "无法启动屏幕共享：";
    static constexpr const char* kNoPasswordStatus = "无法生成临时密码";
    static constexpr const char* kLoginItemFailedPrefix = "无法更新登录项：";
    static constexpr const char* kUpdateRestoredStatus = "已更新并恢复共享";
    static constexpr const char* kUpdateWaitingStatus = "更新后等待屏幕录制权限，请手动启动一次共享。";
    static constexpr const char* kLoginWaitingStatus = "自动共享等待屏幕录制权限，请手动启动一次共享。";
    static constexpr const char* kStopSharingFirst = "请先停止本机共享，再连接其他设备";
    static constexpr const char* kNoLANIdentity = "这台电脑无法使用局域网直连，请通过“我的设备”连接";
    static constexpr const char* kAllowButton = "允许本次连接";
    static constexpr const char* kRejectButton = "拒绝";
    static constexpr int kMaxSessions = 4;
    static constexpr const char* kLANEnabledKey = "mac.lan.enabled";

    struct Platform {
        Dispatcher& main;
        UserDefaults& defaults;
        std::shared_ptr<MacAccount> account;
        InputInjector& injector;
        KeyboardInputSources& inputSources;
        MacCapture::Platform capture;
        PowerManagement& power;
        LoginItemService& loginItem;
        MacPrompter& prompter;
        ShareHostFactory makeHost;
        std::function<void(const std::string&)> log;
        // The record an update left for this start, if one is valid now.
        std::function<std::optional<MacUpdateResume>()> updateResume;
        // Controller clients for remote sessions.
        MacRemoteSession::ClientFactory makeClient;
        // Where the LAN identity lives; none: this machine takes no LAN connections.
        KeyStore* lanKeys = nullptr;
        // Advertises the LAN host; none: reachable by address only.
        ServiceDiscovery* discovery = nullptr;
        // The clipboard shared with a viewer while transfer is allowed; none: files only.
        std::shared_ptr<Clipboard> clipboard;
        // Where received files go; the download folder + "/Quorlinth" when unset.
        std::optional<MacTransferLink::Places> transferPlaces;
    };

    struct Timings {
        Millis accountLoop{20'000};
        MacCapture::Timings capture;
    };

    static std::shared_ptr<MacModel> create(Platform platform, Timings timings);
    static std::shared_ptr<MacModel> create(Platform platform) {
        return create(std::move(platform), Timings{});
    }
    ~MacModel();

    const MacModelState& state() const { return published; }
    MacAccount& account() { return *platform.account; }

    // Starts the account loop and the permission poll.
    void activate();
    // Once after start-up: sharing comes back after an update, or at login when set up so.
    void restoreAtLaunch();

    void startSharing();
    void stopSharing(std::function<void()> done = {});
    // A new device code and temporary password; `done` runs when the answer is in.
    void refreshPairing(std::function<void()> done = {});

    void setAllowInput(bool on);
    void refreshInputPermission();
    void setQuality(MacShareQuality quality);
    void setAllowTransfer(bool on);
    void setKeepAwake(bool on);
    void setTrusted(const std::string& deviceID, bool trusted);
    void setStartAtLogin(bool on);
    // Whether remote input comes back on when sharing starts by itself.
    void setRestoreInput(bool on);
    // The switch for LAN connections while sharing.
    void setLANEnabled(bool on);
    void rotateLANPassword();
    void removeLANTrusted(const std::string& key);

    // The sharing settings of the signed-in account on this machine.
    MacSharingAccess currentAccess() const;
    // What the device heartbeat reports as input readiness. Any thread.
    bool inputReady() const { return input->inputReady(); }
    // Every control message of the current viewer, before routing (the command line prints
    // their kinds). Main thread.
    std::function<void(const std::string& message)> onControl;

    // A session for a device of the account (its open one when there is one), or null when
    // refused (the status says why).
    std::shared_ptr<MacRemoteSession> openRemote(const MacDevice& device);
    // A session by device code and temporary password, or null when refused.
    std::shared_ptr<MacRemoteSession> openGuest(const std::string& code, const std::string& password);
    // A session with a computer on the local network, named `name` until it answers (its open one
    // when there is one), or null when refused.
    std::shared_ptr<MacRemoteSession> openLAN(const LANEndpoint& endpoint, const std::string& name);
    // Starts following the computers on the local network into `lanFound` (the first view that
    // shows them asks); later calls do nothing. Without discovery the list stays empty.
    void browseLAN();
    // The device identifier of the LAN session with `endpoint`.
    static std::string lanDeviceID(const LANEndpoint& endpoint) { return "lan:" + endpoint.text(); }
    // The addresses this computer has dialled, most recent first.
    std::vector<MacLANTrust::Entry> knownLANHosts() const { return lanKnownHosts.validHosts(); }
    // Forgets a dialled address ("host:port") and the key it presented.
    void forgetLANHost(const std::string& address) { lanKnownHosts.removeName(address); }
    void closeRemote(const std::shared_ptr<MacRemoteSession>& session);

    // Before quitting: nothing stays pressed and sharing ends.
    void prepareToQuit(std::function<void()> done);

private:
    MacModel(Platform platform, Timings timings);
    void setup();

    // Sharing, in its steps.
    void shareWith(const MacCredentials& credentials, uint64_t attempt);
    ShareHostCallbacks hostCallbacks(uint64_t generation);
    void installCaptureCallbacks(uint64_t generation);
    void captureStarted(Result<void> started);
    void abandonStart(const std::string& status);
    void updateLANHost();
    void setupTransfer();
    void confirmLAN(const MacLANHost::Request& request, std::function<void(bool)> completion);

    // Host events.
    void decideAccess(const MacShareHost::Request& request, uint64_t generation,
                      std::function<void(bool)> decide);
    void viewerJoined(uint64_t generation);
    void viewerLeft(uint64_t generation);
    void routeControl(const std::string& message, uint64_t generation);
    bool isCurrentHost(uint64_t generation) const { return host && generation == hostGeneration; }

    // Settings.
    std::string currentDeviceID() const;
    void persistAccess(MacSharingAccessMap access);
    void updateAccess(const std::function<void(MacSharingAccess&)>& change);
    void syncInputState();
    void accountTick();
    void restoreSharing(bool restoreInput, const char* waitingStatus, const char* restoredStatus);
    bool mayOpenRemote();
    std::shared_ptr<MacRemoteSession> addSession(MacDevice device);
    void connectSession(const std::shared_ptr<MacRemoteSession>& session,
                        std::optional<CloudRTCClient::Guest> guest);

    void setStatus(const std::string& text);
    void log(const std::string& line) const;
    template <class F> std::function<void()> weakTask(F task);

    Platform platform;
    Timings timings;
    MacModelState published;
    MacSharingSettings settings;
    MacPowerState power;
    std::shared_ptr<LockedInputFlag> inputFlag = std::make_shared<LockedInputFlag>(false);
    std::shared_ptr<LockedBox<bool>> transferFlag = std::make_shared<LockedBox<bool>>(false);
    std::unique_ptr<MacInput> input;
    std::unique_ptr<MacInputController> inputController;

    std::shared_ptr<MacCapture> capture;
    std::shared_ptr<ShareHostHandle> host;
    // The same host for the transfer link's queue, which asks it for the route.
    std::shared_ptr<LockedBox<std::weak_ptr<ShareHostHandle>>> routeHost =
        std::make_shared<LockedBox<std::weak_ptr<ShareHostHandle>>>();
    uint64_t hostGeneration = 0;
    std::optional<MacCredentials> shareCredentials;
    MacLANTrust lanTrust;      // controllers this computer trusts
    MacLANTrust lanKnownHosts; // hosts this computer has dialled
    std::shared_ptr<MacLANHost> lanHost;
    std::shared_ptr<MacLANBrowser> lanBrowser;
    std::shared_ptr<MacHostTransfer> transfer;
    std::vector<Subscription> transferState;
    Timer accountLoop;
    Timer permissionPoll;
    Subscription restoreWatch;
};

} // namespace quorlinth
