#include "model/MacRemoteSession.h"

#include "base/DisplayText.h"
#include "base/Uuid.h"
#include "lan/LANIdentity.h"
#include "lan/MacLANBrowser.h"

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
}

MacRemoteSession::~MacRemoteSession() {
    if (current) current->stop();
    if (dial) dial->close();
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
}

void MacRemoteSession::setStatus(const std::string& text) {
    if (published.status.set(text) && platform.log)
        platform.log("[" + displaySafe(published.device.get().name) + "] 状态 " + text);
}

} // namespace quorlinth
