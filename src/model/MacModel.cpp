#include "model/MacModel.h"

#include "base/DisplayText.h"
#include "base/PlatformWords.h"
#include "base/Uuid.h"
#include "capture/MacCaptureStatus.h"
#include "crypto/Random.h"
#include "lan/LANConsentText.h"
#include "lan/LANIdentity.h"
#include "lan/LANLocalAddresses.h"
#include "lan/MacLANBrowser.h"
#include "log/ProxyTun.h"
#include "rtc/RTCDataChannel.h"
#include "store/UserDefaults.h"

#include <algorithm>

namespace quorlinth {

namespace {

constexpr Millis kPermissionPoll{1000};

const char* flag(bool value) {
    return value ? "true" : "false";
}

} // namespace

std::shared_ptr<MacModel> MacModel::create(Platform platform, Timings timings) {
    auto model = std::shared_ptr<MacModel>(new MacModel(std::move(platform), timings));
    model->setup();
    return model;
}

MacModel::MacModel(Platform platform, Timings timings)
    : platform(std::move(platform)), timings(timings), settings(this->platform.defaults, this->platform.log),
      power(this->platform.power, this->platform.main, this->platform.log),
      lanTrust(this->platform.defaults, kLANTrustedControllersKey),
      lanKnownHosts(this->platform.defaults, kLANKnownHostsKey) {}

MacModel::~MacModel() {
    transfer->close();
    accountLoop.cancel();
    if (lanHost) lanHost->stop();
    permissionPoll.cancel();
    if (host) host->stop();
    if (capture) capture->stop();
    input->releaseAll();
}

template <class F> std::function<void()> MacModel::weakTask(F task) {
    return [weak = weak_from_this(), task] {
        if (auto self = weak.lock()) task(*self);
    };
}

void MacModel::setup() {
    if (platform.defaults.damaged())
        log("设置文件无法读取，已使用默认值；原文件保留为 " + platform.defaults.damagedCopy().string());
    published.quality.set(settings.quality());
    published.accessByHost.set(settings.access());
    published.loginItemStatus.set(static_cast<int>(platform.loginItem.status()));
    published.allowTransfer.set(settings.allowTransfer());
    published.keepAwake.set(settings.keepAwake());
    transferFlag->set(published.allowTransfer);
    published.lanEnabled.set(platform.defaults.boolean(kLANEnabledKey).value_or(true));
    published.lanTrusted.set(lanTrust.entries());

    input = std::make_unique<MacInput>(platform.injector, platform.inputSources, inputFlag,
                                       MacInput::systemUptime, platform.log);
    MacInputController::Hooks hooks;
    hooks.persistAccess = [this](bool restoreInput) {
        updateAccess([restoreInput](MacSharingAccess& access) { access.restoreInput = restoreInput; });
    };
    hooks.screenLocked = [this] { return capture && capture->isLocked(); };
    hooks.announceInputReady = [this](bool ready) {
        if (published.sharing) platform.account->heartbeat(true, ready, true);
    };
    hooks.onStatus = [this](const std::string& text) { setStatus(text); };
    inputController = std::make_unique<MacInputController>(platform.injector, *input, inputFlag, hooks);
    setupTransfer();
}

void MacModel::setupTransfer() {
    MacHostTransfer::Hooks hooks;
    hooks.sharing = [this] { return published.sharing.get(); };
    hooks.allowTransfer = [flag = transferFlag] { return flag->get(); };
    hooks.access = [this] { return currentAccess(); };
    // Asked on the link's queue: the route of whichever host is current, through a locked box.
    hooks.route = [current = routeHost] {
        auto host = current->get().lock();
        return transferRoute(host ? host->route() : std::nullopt);
    };
    hooks.log = platform.log;
    transfer = MacHostTransfer::create(platform.clipboard, platform.prompter, hooks,
                                       platform.transferPlaces.value_or(MacTransferLink::defaultPlaces()));
    transferState.push_back(transfer->progress.observe(
        [this](const std::optional<TransferProgress>& value) { published.transferProgress.set(value); }));
    transferState.push_back(
        transfer->note.observe([this](const std::string& text) { published.transferNote.set(text); }));
}

void MacModel::activate() {
    accountLoop = platform.main.every(Millis(0), timings.accountLoop,
                                      weakTask([](MacModel& self) { self.accountTick(); }));
    permissionPoll = platform.main.every(kPermissionPoll, kPermissionPoll,
                                         weakTask([](MacModel& self) { self.refreshInputPermission(); }));
}

void MacModel::accountTick() {
    MacAccount& account = *platform.account;
    if (!account.credentials()) return;
    account.refreshDevices([](MacResult<void>) {});
    // While sharing, the share host reports this device's readiness itself.
    if (!published.sharing && !published.starting) account.heartbeat(false, false, false);
}

// Sharing.

void MacModel::startSharing() {
    if (published.sharing || published.starting || published.stoppingSharing ||
        !published.sessions.get().empty())
        return;
    published.starting.set(true);
    capture = MacCapture::create(platform.capture, timings.capture);
    capture->setQuality(published.quality);
    uint64_t attempt = ++hostGeneration;
    platform.account->validCredentials(
        [weak = weak_from_this(), attempt, issued = capture](MacResult<MacCredentials> valid) {
            auto self = weak.lock();
            if (!self) return;
            if (attempt != self->hostGeneration || self->capture != issued) {
                self->published.starting.set(false); // a stop ran meanwhile
                return;
            }
            if (!valid)
                return self->abandonStart(kStartFailedPrefix + valid.failure().localizedDescription());
            self->shareWith(valid.value(), attempt);
        });
}

void MacModel::shareWith(const MacCredentials& credentials, uint64_t attempt) {
    shareCredentials = credentials;
    host = platform.makeHost(credentials, published.quality, hostCallbacks(attempt));
    routeHost->set(host);
    installCaptureCallbacks(attempt);
    capture->start([weak = weak_from_this(), attempt, issued = capture](Result<void> started) {
        auto self = weak.lock();
        if (!self) return;
        if (!self->isCurrentHost(attempt) || self->capture != issued) {
            issued->stop(); // a stop ran in between: this capture belongs to nobody
            self->published.starting.set(false);
            return;
        }
        self->captureStarted(std::move(started));
    });
}

void MacModel::captureStarted(Result<void> started) {
    if (!started) return abandonStart(kStartFailedPrefix + started.error());
    published.sharing.set(true);
    power.updateAssertions(true, published.keepAwake, published.viewerConnected);
    host->start();
    setStatus(kSharingStatus);
    updateLANHost();
    published.starting.set(false);
}

void MacModel::abandonStart(const std::string& text) {
    if (host) host->stop();
    host.reset();
    routeHost->set({});
    if (capture) capture->stop();
    capture.reset();
    shareCredentials.reset();
    published.starting.set(false);
    setStatus(text);
}

ShareHostCallbacks MacModel::hostCallbacks(uint64_t generation) {
    std::weak_ptr<MacModel> weak = weak_from_this();
    ShareHostCallbacks callbacks;
    callbacks.onRequest = [weak, generation](MacShareHost::Request request,
                                             std::function<void(bool)> decide) {
        auto self = weak.lock();
        if (!self) return decide(false);
        self->decideAccess(request, generation, std::move(decide));
    };
    callbacks.onConnect = [weak, generation] {
        if (auto self = weak.lock()) self->viewerJoined(generation);
    };
    callbacks.onDisconnect = [weak, generation] {
        if (auto self = weak.lock()) self->viewerLeft(generation);
    };
    callbacks.onInput = [weak, generation](std::string message) {
        if (auto self = weak.lock()) self->routeControl(message, generation);
    };
    // Asked on the host's queue: only the locked flag and the injector's trust are read.
    callbacks.inputReady = [flag = inputFlag, injector = &platform.injector, weak] {
        return !weak.expired() && flag->get() && injector->trusted();
    };
    callbacks.onTransferChannel = [weak, generation](std::shared_ptr<RTCDataChannel> channel,
                                                     std::string controllerID) {
        auto self = weak.lock();
        if (!self || !self->isCurrentHost(generation)) {
            if (channel) channel->close();
            return;
        }
        self->transfer->adopt(std::move(channel), std::move(controllerID));
    };
    callbacks.onFrameRate = [weak, generation](int64_t fps) {
        auto self = weak.lock();
        if (self && self->isCurrentHost(generation) && self->capture) self->capture->setFrameRate(fps);
    };
    return callbacks;
}

void MacModel::installCaptureCallbacks(uint64_t generation) {
    std::weak_ptr<ShareHostHandle> frameSink = host;
    capture->onFrame = [frameSink](CapturedFrame frame) {
        if (auto sink = frameSink.lock()) sink->cachePixels(std::move(frame.pixels));
    };
    std::weak_ptr<MacModel> weak = weak_from_this();
    auto whileCurrent = [weak, generation](std::function<void(MacModel&)> change) {
        auto self = weak.lock();
        if (self && self->isCurrentHost(generation)) change(*self);
    };
    capture->onFailure = [whileCurrent](std::string text) {
        whileCurrent([&](MacModel& self) { self.setStatus(text); });
    };
    capture->onDisplayChange = [whileCurrent](std::string name) {
        whileCurrent(
            [&](MacModel& self) { self.setStatus(captureStatus::displayChanged(displaySafe(name))); });
    };
    capture->onWaiting = [whileCurrent](std::optional<std::string> reason) {
        whileCurrent([&](MacModel& self) {
            if (self.published.sharing)
                self.setStatus(captureStatus::sharingState(reason.has_value(), reason.value_or("")));
        });
    };
    capture->onLockChange = [whileCurrent](bool locked) {
        whileCurrent([&](MacModel& self) { self.setStatus(captureStatus::lockChanged(locked)); });
    };
    capture->onVirtualDisplay = [whileCurrent](bool present) {
        whileCurrent([&](MacModel& self) {
            self.log(captureStatus::virtualDisplayLogLine(present));
            self.setStatus(captureStatus::virtualDisplayChanged(present));
        });
    };
}

void MacModel::stopSharing(std::function<void()> done) {
    if (published.stoppingSharing) {
        if (done) done();
        return;
    }
    published.stoppingSharing.set(true);
    published.sharing.set(false);
    updateLANHost();
    ++hostGeneration; // every late callback of this share is now stale
    if (host) host->stop();
    host.reset();
    routeHost->set({});
    transfer->close();
    if (capture) capture->stop();
    capture.reset();
    input->releaseAll();
    published.viewerConnected.set(false);
    published.pairingCode.set("");
    published.pairingPassword.set("");
    power.updateAssertions(false, published.keepAwake, false);
    power.updateRemoteActivity(false);
    shareCredentials.reset();

    auto finish = [weak = weak_from_this(), done] {
        if (auto self = weak.lock()) self->published.stoppingSharing.set(false);
        if (done) done();
    };
    MacAccount& account = *platform.account;
    auto credentials = account.credentials();
    if (!credentials) return finish();
    account.http().request(credentials->base, "/v1/devices/" + credentials->deviceID + "/pairing", "DELETE",
                           credentials->deviceToken, std::nullopt,
                           [weak = weak_from_this(), finish](MacResult<Json>) {
                               auto self = weak.lock();
                               if (!self) return finish();
                               self->platform.account->heartbeat(false, false, false, finish);
                           });
}

void MacModel::refreshPairing(std::function<void()> done) {
    auto finish = [done] {
        if (done) done();
    };
    platform.account->validCredentials([weak = weak_from_this(), finish](MacResult<MacCredentials> valid) {
        auto self = weak.lock();
        if (!self) return finish();
        if (!valid) {
            self->setStatus(valid.failure().localizedDescription());
            return finish();
        }
        const MacCredentials& credentials = valid.value();
        std::string password = hexEncode(crypto::randomBytes(8));
        self->platform.account->http().request(
            credentials.base, "/v1/devices/" + credentials.deviceID + "/pairing", "PUT",
            credentials.deviceToken, Json{{"password", password}},
            [weak, password, finish](MacResult<Json> reply) {
                auto self = weak.lock();
                if (!self) return finish();
                if (!reply) {
                    self->setStatus(reply.failure().localizedDescription());
                    return finish();
                }
                self->published.pairingCode.set(field::string(reply.value(), "code", ""));
                self->published.pairingPassword.set(password);
                finish();
            });
    });
}

// Host events.

void MacModel::decideAccess(const MacShareHost::Request& request, uint64_t generation,
                            std::function<void(bool)> decide) {
    power.declareConnectionRequest();
    log(std::string("连接请求 ") + (request.guest ? "设备码" : "同账号") +
        " locked=" + flag(capture && capture->isLocked()));
    if (!published.sharing || !isCurrentHost(generation)) return decide(false);
    const auto& signedIn = platform.account->credentials();
    if (signedIn && shareCredentials && signedIn->deviceID != shareCredentials->deviceID)
        return decide(false);

    std::string name = displaySafe(request.name);
    if (!request.guest && !request.controllerID.empty() &&
        currentAccess().trustedDevices.count(request.controllerID)) {
        setStatus("已接受可信设备 " + name + " 的连接");
        return decide(true);
    }
    bool inputOpen = published.allowInput && published.inputPermissionGranted;
    MacQuestion question{"允许 " + name + "（" + (request.guest ? "设备码协助" : "同账号") + "）连接" +
                             platformWords::kThisComputer + "？",
                         inputOpen ? "对方将看到主显示器画面，并能操作鼠标和键盘。"
                                   : "对方将看到主显示器画面；远程输入当前未开放。",
                         kAllowButton, kRejectButton};
    platform.prompter.ask(question, std::move(decide));
}

void MacModel::viewerJoined(uint64_t generation) {
    if (!isCurrentHost(generation)) return;
    published.viewerConnected.set(true);
    power.updateAssertions(published.sharing, published.keepAwake, true);
    power.updateRemoteActivity(true);
}

void MacModel::viewerLeft(uint64_t generation) {
    if (!isCurrentHost(generation)) return;
    input->releaseAll();
    published.viewerConnected.set(false);
    power.updateAssertions(published.sharing, published.keepAwake, false);
    power.updateRemoteActivity(false);
    if (capture) capture->viewerLeft();
}

void MacModel::routeControl(const std::string& message, uint64_t generation) {
    if (!published.sharing || !isCurrentHost(generation)) return;
    if (onControl) onControl(message);
    if (routeViewportRequest(message, capture.get()) != ViewportRouting::notViewport) return;
    input->handle(message, published.allowInput);
}

// Input permission.

void MacModel::setAllowInput(bool on) {
    inputController->setAllowInput(on);
    syncInputState();
}

void MacModel::refreshInputPermission() {
    inputController->refreshInputPermission();
    syncInputState();
}

void MacModel::syncInputState() {
    published.allowInput.set(inputController->allowInput());
    published.inputPermissionGranted.set(inputController->inputPermissionGranted());
    published.inputPermissionPending.set(inputController->inputPermissionPending());
}

// Settings.

void MacModel::setQuality(MacShareQuality quality) {
    published.quality.set(quality);
    settings.setQuality(quality);
}

void MacModel::setAllowTransfer(bool on) {
    transferFlag->set(on);
    published.allowTransfer.set(on);
    settings.setAllowTransfer(on);
    transfer->allowTransferChanged(on);
}

void MacModel::setKeepAwake(bool on) {
    published.keepAwake.set(on);
    settings.setKeepAwake(on);
    power.updateAssertions(published.sharing, on, published.viewerConnected);
}

void MacModel::setTrusted(const std::string& deviceID, bool trusted) {
    updateAccess([&](MacSharingAccess& access) {
        if (trusted)
            access.trustedDevices.insert(deviceID);
        else
            access.trustedDevices.erase(deviceID);
    });
}

void MacModel::setStartAtLogin(bool on) {
    if (currentDeviceID().empty()) return;
    LoginItemService& item = platform.loginItem;
    LoginItemStatus before = item.status();
    bool registered = before == LoginItemStatus::enabled || before == LoginItemStatus::requiresApproval;
    if (on) {
        Result<void> done = registered ? Result<void>() : item.registerItem();
        if (done)
            updateAccess([](MacSharingAccess& access) { access.startAtLogin = true; });
        else
            setStatus(kLoginItemFailedPrefix + done.error());
    } else {
        updateAccess([](MacSharingAccess& access) { access.startAtLogin = false; });
        if (registered)
            if (auto done = item.unregisterItem(); !done) setStatus(kLoginItemFailedPrefix + done.error());
    }
    published.loginItemStatus.set(static_cast<int>(item.status()));
}

void MacModel::setRestoreInput(bool on) {
    updateAccess([on](MacSharingAccess& access) { access.restoreInput = on; });
}

MacSharingAccess MacModel::currentAccess() const {
    const auto& access = published.accessByHost.get();
    auto found = access.find(currentDeviceID());
    return found == access.end() ? MacSharingAccess{} : found->second;
}

std::string MacModel::currentDeviceID() const {
    const auto& credentials = platform.account->credentials();
    return credentials ? credentials->deviceID : std::string();
}

void MacModel::updateAccess(const std::function<void(MacSharingAccess&)>& change) {
    std::string deviceID = currentDeviceID();
    if (deviceID.empty()) return;
    MacSharingAccessMap access = published.accessByHost;
    change(access[deviceID]);
    published.accessByHost.set(access);
    settings.setAccess(access);
}

// LAN.

void MacModel::setLANEnabled(bool on) {
    published.lanEnabled.set(on);
    platform.defaults.set(kLANEnabledKey, on);
    updateLANHost();
}

void MacModel::rotateLANPassword() {
    if (lanHost) lanHost->rotatePassword();
}

void MacModel::removeLANTrusted(const std::string& key) {
    lanTrust.removeKey(key);
    published.lanTrusted.set(lanTrust.entries());
}

void MacModel::updateLANHost() {
    published.lanTrusted.set(lanTrust.entries());
    bool wanted = published.sharing && published.lanEnabled && host && platform.lanKeys;
    if (wanted) {
        if (lanHost) return;
        auto created =
            MacLANHost::create(loadIdentity(*platform.lanKeys), lanTrust, host->lanTarget(),
                               localComputerName(), {kLANPort, {}, platform.discovery, &platform.main});
        std::weak_ptr<MacModel> weak = weak_from_this();
        created->onPasswordChange = [weak](std::string password) {
            if (auto self = weak.lock()) self->published.lanPassword.set(password);
        };
        created->onEvent = [weak](std::string text) {
            auto self = weak.lock();
            if (!self) return;
            self->published.lanNote.set(text);
            self->log(text);
        };
        created->confirm = [weak](MacLANHost::Request request, std::function<void(bool)> completion) {
            auto self = weak.lock();
            if (!self) return completion(false);
            self->confirmLAN(request, std::move(completion));
        };
        if (auto started = created->start(); !started) {
            published.lanNote.set("局域网直连无法启动：" + started.error());
            return;
        }
        lanHost = created;
        published.lanPassword.set(lanHost->password());
        published.lanAddresses.set(localLANAddresses());
        return;
    }
    if (lanHost) lanHost->stop();
    lanHost.reset();
    published.lanPassword.set("");
    published.lanNote.set("");
    published.lanAddresses.set({});
}

void MacModel::confirmLAN(const MacLANHost::Request& request, std::function<void(bool)> completion) {
    if (!published.sharing) return completion(false);
    platform.power.declareUserActivity(UserActivityKind::local, kLANConsentActivity, 0);
    LANConsentText text = lanConsentText(request, published.allowInput && platform.injector.trusted());
    platform.prompter.ask({text.message, text.informative, kLANConsentAllow, kLANConsentDeny},
                          [weak = weak_from_this(), completion](bool allow) {
                              auto self = weak.lock();
                              completion(allow && self && self->published.sharing);
                              if (self) self->published.lanTrusted.set(self->lanTrust.entries());
                          });
}

// Start-up.

void MacModel::restoreAtLaunch() {
    auto resume = platform.updateResume ? platform.updateResume() : std::nullopt;
    if (resume && resume->sharing && platform.account->credentials())
        return restoreSharing(resume->input, kUpdateWaitingStatus, kUpdateRestoredStatus);
    MacSharingAccess access = currentAccess();
    if (!access.startAtLogin || access.trustedDevices.empty() ||
        published.loginItemStatus != static_cast<int>(LoginItemStatus::enabled))
        return;
    restoreSharing(access.restoreInput, kLoginWaitingStatus, nullptr);
}

void MacModel::restoreSharing(bool restoreInput, const char* waitingStatus, const char* restoredStatus) {
    if (!platform.capture.capture.preflightPermission()) return setStatus(waitingStatus);
    if (restoreInput && platform.injector.trusted()) {
        inputController->applyAllowInput(true);
        syncInputState();
    }
    if (restoredStatus) {
        // Said once the start has finished, over the start's own status; nothing when it failed.
        restoreWatch = published.starting.observe([this, restoredStatus](bool on) {
            if (on) return;
            if (published.sharing) setStatus(restoredStatus);
            restoreWatch.reset();
        });
    }
    startSharing();
}

// Remote sessions.

bool MacModel::mayOpenRemote() {
    if (published.sharing || published.starting) {
        setStatus(kStopSharingFirst);
        return false;
    }
    if (published.sessions.get().size() >= size_t(kMaxSessions)) {
        setStatus("最多同时控制 " + std::to_string(kMaxSessions) + " 台设备，请先关闭一个远程窗口");
        return false;
    }
    return true;
}

std::shared_ptr<MacRemoteSession> MacModel::openRemote(const MacDevice& device) {
    for (const auto& session : published.sessions.get())
        if (session->deviceID() == device.id) return session;
    if (!mayOpenRemote()) return nullptr;
    auto session = addSession(device);
    connectSession(session, std::nullopt);
    return session;
}

std::shared_ptr<MacRemoteSession> MacModel::openGuest(const std::string& code, const std::string& password) {
    if (!mayOpenRemote()) return nullptr;
    // The session-creation reply names the real device later.
    MacDevice placeholder{"guest-" + uuidV4(LetterCase::lower).substr(0, 8),
                          "设备码连接",
                          "android",
                          true,
                          MacCapabilities{true, true, true},
                          true};
    auto session = addSession(placeholder);
    connectSession(session, CloudRTCClient::Guest{code, password});
    return session;
}

std::shared_ptr<MacRemoteSession> MacModel::openLAN(const LANEndpoint& endpoint, const std::string& name) {
    std::string deviceID = lanDeviceID(endpoint);
    for (const auto& session : published.sessions.get())
        if (session->deviceID() == deviceID) return session;
    if (!mayOpenRemote()) return nullptr;
    // The dial signs with this computer's LAN identity; without a key store there is none.
    if (!platform.lanKeys) {
        setStatus(kNoLANIdentity);
        return nullptr;
    }
    auto session = addSession({deviceID, name, "macos", true, MacCapabilities{true, true, true}, true});
    session->connectLAN(endpoint, std::nullopt);
    return session;
}

void MacModel::browseLAN() {
    if (lanBrowser || !platform.discovery) return;
    lanBrowser = MacLANBrowser::create(*platform.discovery, localComputerName(), &platform.main);
    lanBrowser->onChange = [weak = weak_from_this()](const std::vector<MacLANBrowser::Found>& found) {
        if (auto self = weak.lock()) self->published.lanFound.set(found);
    };
    lanBrowser->start();
}

std::shared_ptr<MacRemoteSession> MacModel::addSession(MacDevice device) {
    auto session = MacRemoteSession::create(
        std::move(device),
        {platform.main, platform.makeClient, platform.log, [] { return proxyTunInterface(); },
         platform.lanKeys, &lanKnownHosts, platform.clipboard,
         platform.transferPlaces.value_or(MacTransferLink::defaultPlaces())});
    auto sessions = published.sessions.get();
    sessions.push_back(session);
    published.sessions.set(std::move(sessions));
    return session;
}

void MacModel::connectSession(const std::shared_ptr<MacRemoteSession>& session,
                              std::optional<CloudRTCClient::Guest> guest) {
    MacAccount& account = *platform.account;
    account.validCredentials([weak = weak_from_this(), session, guest](MacResult<MacCredentials> valid) {
        auto self = weak.lock();
        if (!self) return;
        const auto& open = self->published.sessions.get();
        if (std::find(open.begin(), open.end(), session) == open.end()) return; // closed meanwhile
        if (!valid) return self->setStatus(valid.failure().localizedDescription());
        const MacCredentials& credentials = valid.value();
        session->connectCloud({self->platform.account->http().config().mapBase(credentials.base),
                               credentials.accountToken, credentials.deviceID, credentials.deviceToken},
                              guest);
    });
}

void MacModel::closeRemote(const std::shared_ptr<MacRemoteSession>& session) {
    session->close();
    auto sessions = published.sessions.get();
    std::erase(sessions, session);
    published.sessions.set(std::move(sessions));
}

void MacModel::prepareToQuit(std::function<void()> done) {
    input->releaseAll();
    for (const auto& session : published.sessions.get())
        session->close();
    published.sessions.set({});
    stopSharing(std::move(done));
}

void MacModel::setStatus(const std::string& text) {
    if (published.status.set(text)) log("状态 " + text);
}

void MacModel::log(const std::string& line) const {
    if (platform.log) platform.log(line);
}

} // namespace quorlinth
