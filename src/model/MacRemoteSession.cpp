#include "model/MacRemoteSession.h"

#include "base/DisplayText.h"
#include "base/Uuid.h"
#include "lan/LANIdentity.h"
#include "lan/MacLANBrowser.h"
#include "transfer/RTCTransferChannel.h"

namespace quorlinth {

namespace {

const char* routeName(std::optional<RTCMediaRoute> route) {
    if (!route) return "-";
    return *route == RTCMediaRoute::direct ? "direct" : "relay";
}

bool sameViewport(const CloudRTCClient::Viewport& a, const CloudRTCClient::Viewport& b) {
    return a.width == b.width && a.height == b.height && a.scale == b.scale && a.fit == b.fit;
}

} // namespace

std::shared_ptr<MacRemoteSession> MacRemoteSession::create(MacDevice device, Platform platform,
                                                           Timings timings) {
    return std::shared_ptr<MacRemoteSession>(
        new MacRemoteSession(std::move(device), std::move(platform), timings));
}

MacRemoteSession::MacRemoteSession(MacDevice device, Platform platform, Timings timings)
    : platform(std::move(platform)), timings(timings), lane("lane-" + uuidV4(LetterCase::lower)),
      targetID(device.id) {
    published.device.set(std::move(device));
    if (this->platform.clipboard)
        clipboard = MacClipboardWatcher::create(this->platform.clipboard, &this->platform.main);
}

MacRemoteSession::~MacRemoteSession() {
    if (current) current->stop();
    if (dial) dial->close();
    if (link) link->close();
}

void MacRemoteSession::replaceClient(std::shared_ptr<CloudRTCClient> client) {
    if (current) current->stop(); // a new attempt replaces the running one
    current = std::move(client);
    published.failure.set("");
    if (viewport) {
        current->setViewport(viewport);
        current->sendViewport();
    }
    installCallbacks(current);
}

void MacRemoteSession::connectCloud(CloudAccess access, std::optional<CloudRTCClient::Guest> guest) {
    replaceClient(platform.makeClient(std::move(access), targetID, std::move(guest), lane));
    setStatus("正在连接 " + displaySafe(published.device.get().name));
    current->start();
    startWatchdog();
}

void MacRemoteSession::connectLAN(LANEndpoint endpoint, std::optional<std::string> password) {
    lanEndpoint = endpoint;
    published.needsPassword.set(false);
    published.failure.set("");
    std::string name = displaySafe(published.device.get().name);
    setStatus(password ? "正在配对 " + name + "…" : "正在通过局域网连接 " + name);
    if (dial) dial->close();
    dial = MacLANDial::create(loadIdentity(*platform.lanKeys), *platform.lanKnown, endpoint,
                              std::move(password), localComputerName(), &platform.main);
    std::weak_ptr<MacRemoteSession> weak = weak_from_this();
    std::weak_ptr<MacLANDial> issued = dial;
    dial->onOutcome = [weak, issued](MacLANDial::Outcome outcome) {
        auto self = weak.lock();
        auto from = issued.lock();
        if (self && from && from == self->dial) self->lanOutcome(from, std::move(outcome));
    };
    dial->onClose = [weak, issued] {
        auto self = weak.lock();
        if (self && self->current && issued.lock() == self->dial) self->setStatus("局域网连接已断开");
    };
    dial->start();
}

void MacRemoteSession::retryLAN(std::string password) {
    if (!lanEndpoint) return;
    if (dial) dial->close();
    dial.reset();
    connectLAN(*lanEndpoint, std::move(password));
}

void MacRemoteSession::lanOutcome(const std::shared_ptr<MacLANDial>& issued, MacLANDial::Outcome outcome) {
    if (auto* accepted = std::get_if<MacLANDial::Accepted>(&outcome)) return lanAccepted(issued, *accepted);
    if (auto* rejected = std::get_if<MacLANDial::Rejected>(&outcome)) {
        published.needsPassword.set(rejected->reason == "need_password" ||
                                    rejected->reason == "wrong_password");
        setStatus(lanRejectionText(rejected->reason));
    } else {
        setStatus(std::get<MacLANDial::Failed>(outcome).message);
    }
    published.failure.set(published.status.get());
}

void MacRemoteSession::lanAccepted(const std::shared_ptr<MacLANDial>& issued,
                                   const MacLANDial::Accepted& accepted) {
    std::string name = accepted.hostName.empty() ? published.device.get().name : accepted.hostName;
    published.device.set(MacDevice{targetID, name, "macos", true, MacCapabilities{true, true, true}, true});
    replaceClient(platform.makeClient({"", "", "lan", ""}, targetID, std::nullopt, std::nullopt));
    setStatus("已授权，正在建立加密视频连接");
    std::weak_ptr<CloudRTCClient> client = current;
    issued->onMessage = [client](Json message) {
        if (auto receiver = client.lock()) receiver->receiveExternal(std::move(message));
    };
    std::weak_ptr<MacLANDial> sender = issued;
    current->startExternal(
        [sender](Json message) {
            if (auto link = sender.lock()) link->send(std::move(message));
        },
        accepted.session, "macos");
    startWatchdog();
}

void MacRemoteSession::installCallbacks(const std::shared_ptr<CloudRTCClient>& client) {
    std::weak_ptr<MacRemoteSession> weakSelf = weak_from_this();
    std::weak_ptr<CloudRTCClient> weakClient = client;
    // Runs `change` only while this client is still the session's own.
    auto forCurrent = [weakSelf, weakClient](std::function<void(MacRemoteSession&)> change) {
        auto self = weakSelf.lock();
        auto issued = weakClient.lock();
        if (self && self->isCurrent(issued)) change(*self);
    };
    client->onTarget = [forCurrent](std::string name, std::string platform, bool viewOnly) {
        forCurrent([&](MacRemoteSession& self) {
            self.published.device.set(
                MacDevice{self.targetID, name, platform, true, MacCapabilities{true, !viewOnly, true}, true});
        });
    };
    client->onStatus = [forCurrent](std::string text) {
        forCurrent([&](MacRemoteSession& self) { self.setStatus(text); });
    };
    client->onFailure = [forCurrent](std::string text) {
        forCurrent([&](MacRemoteSession& self) {
            self.published.frameSize.set(std::nullopt);
            self.setStatus(text);
            self.published.failure.set(text);
        });
    };
    client->onRoute = [forCurrent](std::optional<RTCMediaRoute> route) {
        forCurrent([&](MacRemoteSession& self) {
            self.published.route.set(route);
            self.routeBox->set(route);
        });
    };
    watchTransferChannel(client);
    client->onFrame = [forCurrent](int width, int height) {
        forCurrent([&](MacRemoteSession& self) {
            self.published.frameSize.set(std::to_string(width) + " × " + std::to_string(height));
            self.connectWatch.cancel();
            self.setStatus(kConnected);
        });
    };
}

void MacRemoteSession::startWatchdog() {
    connectWatch =
        platform.main.after(timings.watchdog, [weak = weak_from_this(), issued = std::weak_ptr(current)] {
            auto self = weak.lock();
            if (!self || !self->isCurrent(issued.lock()) || self->published.frameSize.get()) return;
            self->watchdogFired();
        });
}

void MacRemoteSession::watchdogFired() {
    auto tunnel = platform.proxyTunnel ? platform.proxyTunnel() : std::nullopt;
    setStatus(std::string(kNoPicture) + (tunnel ? kTunnelAdvice : kNetworkAdvice));
    if (platform.log)
        platform.log("[" + displaySafe(published.device.get().name) + "] 连接超时 无画面 proxyTUN=" +
                     tunnel.value_or("-") + " route=" + routeName(published.route.get()));
}

void MacRemoteSession::requestViewport(double width, double height, double scale) {
    if (!(width > 0) || !(height > 0)) return;
    CloudRTCClient::Viewport requested{int(width * scale), int(height * scale), scale, false};
    viewportTask.cancel();
    if (!viewport) return applyViewport(requested);
    viewportTask = platform.main.after(timings.viewportDebounce, [weak = weak_from_this(), requested] {
        auto self = weak.lock();
        if (self && !sameViewport(*self->viewport, requested)) self->applyViewport(requested);
    });
}

void MacRemoteSession::applyViewport(const CloudRTCClient::Viewport& requested) {
    viewport = requested;
    if (!current) return;
    current->setViewport(viewport);
    current->sendViewport();
}

void MacRemoteSession::sendControl(Json message) {
    if (current) current->sendControl(std::move(message));
}

void MacRemoteSession::close() {
    connectWatch.cancel();
    viewportTask.cancel();
    if (current) current->stop();
    current.reset();
    if (dial) dial->close();
    dial.reset();
    published.route.set(std::nullopt);
    published.frameSize.set(std::nullopt);
    routeBox->set(std::nullopt);
    setUpLink(nullptr);
}

// ---- transfer -----------------------------------------------------------------------------

void MacRemoteSession::watchTransferChannel(const std::shared_ptr<CloudRTCClient>& client) {
    // The client hands its channel over on its own queue; the link is made on the main queue.
    client->setOnTransferChannel([weakSelf = weak_from_this(), weakClient = std::weak_ptr(client),
                                  &main = platform.main](std::shared_ptr<RTCDataChannel> channel) {
        main.post([weakSelf, weakClient, channel] {
            auto self = weakSelf.lock();
            if (self && self->isCurrent(weakClient.lock())) return self->setUpLink(channel);
            if (channel) channel->close();
        });
    });
}

void MacRemoteSession::setUpLink(std::shared_ptr<RTCDataChannel> channel) {
    if (link) link->close();
    link.reset();
    published.remoteTransferEnabled.set(false);
    published.remoteFiles.set({});
    published.transferProgress.set(std::nullopt);
    published.filesSettled.set(0);
    published.filesDelivered.set(0);
    sentClipboard = -1;
    if (!channel) return;
    link = MacTransferLink::create(RTCTransferChannel::wrap(std::move(channel)), platform.transferPlaces,
                                   &platform.main);
    link->route.set([routes = routeBox] { return transferRoute(routes->get()); });
    installLinkCallbacks(link);
}

void MacRemoteSession::installLinkCallbacks(const std::shared_ptr<MacTransferLink>& created) {
    std::weak_ptr<MacRemoteSession> weakSelf = weak_from_this();
    std::weak_ptr<MacTransferLink> issued = created;
    // Runs `change` only while this link is still the session's own.
    auto forCurrent = [weakSelf, issued](std::function<void(MacRemoteSession&)> change) {
        auto self = weakSelf.lock();
        auto from = issued.lock();
        if (self && from && from == self->link) change(*self);
    };
    // Notes only need the session: a late word from a replaced link is still worth showing.
    auto note = [weakSelf](std::string text) {
        if (auto self = weakSelf.lock()) self->published.transferNote.set(std::move(text));
    };
    created->onHello = [forCurrent](bool enabled) {
        forCurrent([&](MacRemoteSession& self) {
            self.published.remoteTransferEnabled.set(enabled);
            if (!enabled) self.published.remoteFiles.set({});
            if (enabled) self.pushClipboard();
        });
    };
    created->onClipboard = [forCurrent](std::string text) {
        forCurrent([&](MacRemoteSession& self) {
            if (!self.clipboard) return;
            self.clipboard->writeText(text);
            self.sentClipboard = self.clipboard->count;
        });
    };
    created->onClipboardImage = [forCurrent](Bytes png) {
        forCurrent([&](MacRemoteSession& self) {
            if (!self.clipboard) return;
            self.clipboard->writeImage(png);
            self.sentClipboard = self.clipboard->count;
        });
    };
    created->onRemoteFiles = [forCurrent](std::vector<RemoteFile> files) {
        forCurrent([&](MacRemoteSession& self) { self.published.remoteFiles.set(std::move(files)); });
    };
    // Files arrive here only when this side fetches them; the link accepts those by itself.
    created->onOffer = [](TransferOffer, std::function<void(bool)> decide) { decide(false); };
    created->onProgress = [forCurrent](std::optional<TransferProgress> progress) {
        forCurrent([&](MacRemoteSession& self) { self.published.transferProgress.set(progress); });
    };
    created->onError = note;
    created->onSent = [note](std::string name) {
        note("已发送 " + displaySafe(name) + "，保存在对方的“下载/Quorlinth”");
    };
    created->onReceived = [note](std::filesystem::path file) {
        note("已收到 " + displaySafe(file.filename().string()) + "，保存在“下载/Quorlinth”");
    };
    created->onSettled = [forCurrent](std::string, bool delivered) {
        forCurrent([delivered](MacRemoteSession& self) {
            if (delivered) self.published.filesDelivered.set(self.published.filesDelivered.get() + 1);
            self.published.filesSettled.set(self.published.filesSettled.get() + 1);
        });
    };
    created->onClose = [forCurrent] {
        forCurrent([](MacRemoteSession& self) {
            self.link.reset();
            self.published.remoteTransferEnabled.set(false);
            self.published.remoteFiles.set({});
        });
    };
}

bool MacRemoteSession::pushClipboard() {
    if (!transferReady() || !clipboard) return false;
    Clipboard& board = clipboard->board();
    int64_t count = board.changeCount();
    if (count == sentClipboard) return false;
    sentClipboard = count;
    if (!board.files().empty()) return false;
    if (auto png = board.png(); png && !png->empty()) {
        link->sendClipboardImage(std::move(*png), {});
        return false;
    }
    auto text = board.text();
    if (!text || text->empty()) return false;
    if (text->size() > kMaxClipboardText) {
        published.transferNote.set("剪贴板文字超过 200 KB，未同步");
        return false;
    }
    link->sendClipboardText(std::move(*text));
    return true;
}

std::optional<double> MacRemoteSession::prepareRemotePaste() {
    if (!transferReady() || !clipboard) return 0.0;
    Clipboard& board = clipboard->board();
    if (auto files = board.files(); !files.empty()) {
        sendFiles(std::move(files));
        return std::nullopt;
    }
    if (int64_t count = board.changeCount(); count != sentClipboard)
        if (auto png = board.png(); png && !png->empty()) {
            sentClipboard = count;
            sendClipboardImage(std::move(*png));
            return std::nullopt;
        }
    return pushClipboard() ? 0.15 : 0.0;
}

void MacRemoteSession::sendClipboardImage(Bytes png) {
    published.transferNote.set("正在发送剪贴板图片…");
    std::weak_ptr<MacRemoteSession> weakSelf = weak_from_this();
    std::weak_ptr<MacTransferLink> issued = link;
    link->sendClipboardImage(std::move(png), [weakSelf, issued](bool stored) {
        auto self = weakSelf.lock();
        if (!self || issued.lock() != self->link) return;
        self->published.transferNote.set(stored ? ""
                                                : "剪贴板图片未能发送（超过 32 MB 或对方未开启剪贴板同步）");
        if (stored) self->pressRemotePaste();
    });
}

void MacRemoteSession::pressRemotePaste() {
    for (bool down : {true, false})
        sendControl(Json{{"type", "keycode"},
                         {"code", kPasteKeyCode},
                         {"down", down},
                         {"command", true},
                         {"shift", false},
                         {"control", false},
                         {"option", false}});
}

void MacRemoteSession::sendFiles(std::vector<std::filesystem::path> files) {
    if (!link) return published.transferNote.set(kNoTransferLink), void();
    if (!published.remoteTransferEnabled.get()) return published.transferNote.set(kTransferDisabled), void();
    published.transferNote.set("");
    link->sendFiles(std::move(files));
}

void MacRemoteSession::acceptRemoteFiles() {
    if (!transferReady() || published.remoteFiles.get().empty()) return;
    link->pull(int(published.remoteFiles.get().size()));
    published.remoteFiles.set({});
}

void MacRemoteSession::setStatus(const std::string& text) {
    if (published.status.set(text) && platform.log)
        platform.log("[" + displaySafe(published.device.get().name) + "] 状态 " + text);
}

} // namespace quorlinth
