#pragma once

#include "account/MacDevice.h"
#include "base/LockedBox.h"
#include "base/MediaRoute.h"
#include "base/Observable.h"
#include "base/Scheduler.h"
#include "controller/CloudRTCClient.h"
#include "lan/LANEndpoint.h"
#include "lan/MacLANDial.h"
#include "lan/MacLANTrust.h"
#include "platform/Clipboard.h"
#include "transfer/MacClipboardWatcher.h"
#include "transfer/MacTransferLink.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

class KeyStore;

// What a remote window shows of its session. Main thread only.
struct MacRemoteSessionState {
    Observable<MacDevice> device;
    Observable<std::string> status;
    Observable<std::optional<RTCMediaRoute>> route;
    Observable<std::optional<std::string>> frameSize; // "W × H" once the picture arrives
    Observable<std::string> failure;                  // why the attempt ended; empty while it runs
    Observable<bool> needsPassword;                   // the LAN host asked for (or refused) a password
    Observable<bool> remoteTransferEnabled;           // the remote side allows clipboard and files
    Observable<std::vector<RemoteFile>> remoteFiles;  // files the remote side copied, to fetch
    Observable<std::optional<TransferProgress>> transferProgress;
    Observable<std::string> transferNote; // the last transfer message
    Observable<int> filesSettled;         // files sent on this link that were delivered or given up
    Observable<int> filesDelivered;       // of those, the ones the remote side stored
};

// The model behind one remote-control window: connects to one device through the account
// service, says how the connection goes, keeps the route and picture size, warns when no picture
// arrives, sends the window's size as a debounced viewport, and carries clipboard and files over
// the session's transfer link. Lives on the main queue.
class MacRemoteSession : public std::enable_shared_from_this<MacRemoteSession> {
public:
    static constexpr const char* kConnected = "已连接";
    static constexpr const char* kNoPicture = "15 秒内没有收到画面，双方之间没能建立网络连接。";
    static constexpr const char* kTunnelAdvice =
        "本机开着代理软件的 TUN 模式，请切换为“系统代理”模式后重试。";
    static constexpr const char* kNetworkAdvice =
        "若任一方开着代理软件的 TUN 模式（如 Clash），或网络限制 UDP，请关闭后重试。";
    static constexpr const char* kNoTransferLink = "对方的 Quorlinth 版本不支持传文件，请先更新对方";
    static constexpr const char* kTransferDisabled = "对方未开启“允许剪贴板与文件传输”";
    static constexpr size_t kMaxClipboardText = 200'000;
    static constexpr int kPasteKeyCode = 9; // the V key

    using ClientFactory = std::function<std::shared_ptr<CloudRTCClient>(
        CloudAccess access, std::string target, std::optional<CloudRTCClient::Guest> guest,
        std::optional<std::string> lane)>;

    struct Timings {
        Millis watchdog{15'000};
        Millis viewportDebounce{600};
    };

    struct Platform {
        Dispatcher& main;
        ClientFactory makeClient;
        std::function<void(const std::string&)> log;
        // The name of an active proxy tunnel interface, if any.
        std::function<std::optional<std::string>()> proxyTunnel;
        // For connections over the LAN: where this machine's identity lives and the hosts met.
        KeyStore* lanKeys = nullptr;
        MacLANTrust* lanKnown = nullptr;
        // The local clipboard shared with the remote side; none keeps it local.
        std::shared_ptr<Clipboard> clipboard;
        MacTransferLink::Places transferPlaces = MacTransferLink::defaultPlaces();
    };

    static std::shared_ptr<MacRemoteSession> create(MacDevice device, Platform platform, Timings timings);
    static std::shared_ptr<MacRemoteSession> create(MacDevice device, Platform platform) {
        return create(std::move(device), std::move(platform), Timings{});
    }
    ~MacRemoteSession();

    const std::string& id() const { return lane; }
    const std::string& deviceID() const { return targetID; }
    const MacRemoteSessionState& state() const { return published; }
    // The current client (its frame store holds the newest picture); null before connecting.
    const std::shared_ptr<CloudRTCClient>& client() const { return current; }
    // The viewport last handed to the client; none before the window first asked.
    const std::optional<CloudRTCClient::Viewport>& sentViewport() const { return viewport; }

    void connectCloud(CloudAccess access, std::optional<CloudRTCClient::Guest> guest);
    // Straight to a computer on the local network, with the pairing password when one is typed.
    void connectLAN(LANEndpoint endpoint, std::optional<std::string> password);
    // Dials the same computer again, now with a password.
    void retryLAN(std::string password);
    // The window's picture area in points and its backing scale.
    void requestViewport(double width, double height, double scale);
    // A control message from the input translator.
    void sendControl(Json message);
    // Sends the local clipboard's text or image when it changed since last sent or written;
    // true when text went.
    bool pushClipboard();
    // Before a paste keystroke goes to the remote side: the delay to wait first, or none when
    // the session handles the paste itself (files sent, or an image followed by its own paste).
    std::optional<double> prepareRemotePaste();
    void sendFiles(std::vector<std::filesystem::path> files);
    // Fetches every file the remote side offered.
    void acceptRemoteFiles();
    // Ends the running attempt; the session can connect again afterwards.
    void close();

private:
    MacRemoteSession(MacDevice device, Platform platform, Timings timings);
    void installCallbacks(const std::shared_ptr<CloudRTCClient>& client);
    void lanOutcome(const std::shared_ptr<MacLANDial>& issued, MacLANDial::Outcome outcome);
    void lanAccepted(const std::shared_ptr<MacLANDial>& issued, const MacLANDial::Accepted& accepted);
    void replaceClient(std::shared_ptr<CloudRTCClient> client);
    void startWatchdog();
    void watchdogFired();
    void applyViewport(const CloudRTCClient::Viewport& viewport);
    void watchTransferChannel(const std::shared_ptr<CloudRTCClient>& client);
    void setUpLink(std::shared_ptr<RTCDataChannel> channel);
    void installLinkCallbacks(const std::shared_ptr<MacTransferLink>& link);
    bool transferReady() const { return link && published.remoteTransferEnabled.get(); }
    void sendClipboardImage(Bytes png);
    void pressRemotePaste();
    bool isCurrent(const std::shared_ptr<CloudRTCClient>& client) const {
        return client && client == current;
    }
    void setStatus(const std::string& text);

    Platform platform;
    Timings timings;
    std::string lane;
    std::string targetID;
    MacRemoteSessionState published;
    std::shared_ptr<CloudRTCClient> current;
    std::shared_ptr<MacLANDial> dial;
    std::optional<LANEndpoint> lanEndpoint;
    std::shared_ptr<LockedBox<std::optional<RTCMediaRoute>>> routeBox =
        std::make_shared<LockedBox<std::optional<RTCMediaRoute>>>();
    std::optional<CloudRTCClient::Viewport> viewport;
    Timer connectWatch;
    Timer viewportTask;
    std::shared_ptr<MacClipboardWatcher> clipboard; // null without a clipboard
    std::shared_ptr<MacTransferLink> link;
    int64_t sentClipboard = -1; // the clipboard's change count last sent or written
};

} // namespace quorlinth
