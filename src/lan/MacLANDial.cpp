#include "lan/MacLANDial.h"

#include "base/PlatformWords.h"
#include "base/WeakCallback.h"
#include "lan/LANConnection.h"
#include "lan/LANIdentity.h"
#include "lan/LANPeerName.h"
#include "lan/MacLANLink.h"

namespace quorlinth {

std::shared_ptr<MacLANDial> MacLANDial::create(crypto::P256SigningKey identity, MacLANTrust& known,
                                               LANEndpoint endpoint, std::optional<std::string> password,
                                               std::string name, Dispatcher* main) {
    return std::shared_ptr<MacLANDial>(new MacLANDial(std::move(identity), known, std::move(endpoint),
                                                      std::move(password), std::move(name),
                                                      main ? *main : mainQueue()));
}

MacLANDial::MacLANDial(crypto::P256SigningKey identity, MacLANTrust& known, LANEndpoint endpoint,
                       std::optional<std::string> password, std::string name, Dispatcher& main)
    : identity(std::move(identity)), ownKey(publicKeyText(this->identity)), known(known),
      endpoint(std::move(endpoint)), password(std::move(password)), name(std::move(name)), main(main) {}

MacLANDial::~MacLANDial() {
    if (link) {
        link->onClose = nullptr;
        link->close();
    }
}

void MacLANDial::start() {
    if (link) return;
    link = MacLANLink::create(LANConnection::outgoing(endpoint.host, endpoint.port), main);
    nonce = makeNonce();
    link->onClose = [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (!self->finished) self->report(Failed{kLANUnreachable});
        if (self->onClose) self->onClose();
    };
    link->onMessage = [weak = weak_from_this()](Json message) {
        if (auto self = weak.lock()) self->handle(message);
    };
    link->start();
    link->send({{"t", "hello"}, {"key", ownKey}, {"name", name}, {"nonce", nonce}});
}

void MacLANDial::send(Json m) {
    Json wrapped = rtcMessage(m, identity);
    weakCallback<>(weak_from_this(), main, [wrapped](MacLANDial& self) {
        if (self.link) self.link->send(wrapped);
    })();
}

void MacLANDial::close() {
    if (link) link->close();
}

void MacLANDial::handle(const Json& message) {
    auto type = field::string(message, "t");
    if (!type) return;
    if (*type == "hello") {
        if (hostKey.empty()) handleHello(message);
    } else if (*type == "accepted") {
        auto session = field::string(message, "session");
        if (finished || !session || hostKey.empty()) return;
        finished = true;
        accepted = true;
        known.remember(hostKey, endpoint.text(), hostName.empty() ? std::nullopt : std::optional(hostName));
        report(Accepted{*session, hostName, hostKey});
    } else if (*type == "rejected") {
        if (finished) return;
        finished = true;
        report(Rejected{field::string(message, "reason", "declined")});
        link->close();
    } else if (*type == "rtc") {
        if (accepted) handleRtc(message);
    }
}

void MacLANDial::handleHello(const Json& message) {
    auto key = field::string(message, "key");
    auto hostNonce = field::string(message, "nonce");
    if (!key || !hostNonce || !verify(*key, field::string(message, "sig"), "host|" + nonce + "|" + ownKey))
        return fail(kLANIdentityInvalid);
    for (const auto& entry : known.entries())
        if (entry.name == endpoint.text() && entry.key != *key) return fail(kLANIdentityChanged);
    hostKey = *key;
    hostName = peerName(field::string(message, "name", ""));
    Json auth = {{"t", "auth"}, {"sig", sign("controller|" + *hostNonce + "|" + hostKey, identity)}};
    if (password && !password->empty()) auth["pw"] = passwordProof(*password, *hostNonce, ownKey, hostKey);
    link->send(auth);
}

void MacLANDial::handleRtc(const Json& message) {
    const Json* m = field::object(message, "m");
    if (!m) return;
    if (field::string(*m, "type") == "answer") {
        auto sdp = field::string(*m, "sdp");
        if (!sdp || !verify(hostKey, field::string(message, "sig"), "sdp|" + *sdp))
            return fail(kLANSignatureInvalid);
    }
    if (onMessage) onMessage(*m);
}

void MacLANDial::fail(const std::string& message) {
    if (!finished) {
        finished = true;
        report(Failed{message});
    }
    link->close();
}

void MacLANDial::report(Outcome outcome) {
    if (onOutcome) onOutcome(std::move(outcome));
}

std::string lanRejectionText(const std::string& reason) {
    if (reason == "need_password") return platformWords::kLANNeedPassword;
    if (reason == "wrong_password") return "配对密码不正确";
    if (reason == "declined") return "对方拒绝了连接";
    if (reason == "busy") return "对方正在被其他设备连接";
    if (reason == "locked") return "密码错误次数过多，请 5 分钟后再试";
    return "对方未接受连接";
}

} // namespace quorlinth
