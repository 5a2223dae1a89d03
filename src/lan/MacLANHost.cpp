#include "lan/MacLANHost.h"

#include "base/WeakCallback.h"
#include "crypto/Random.h"
#include "lan/LANConnection.h"
#include "lan/LANIdentity.h"
#include "lan/LANPeerName.h"
#include "lan/MacLANLink.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <future>

namespace quorlinth {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::string_view kPasswordAlphabet = "23456789abcdefghjkmnpqrstuvwxyz";
constexpr size_t kPasswordLength = 10;
constexpr size_t kNonceLength = 32;

std::string describeListenError(const error_code& error) {
    if (error == asio::error::address_in_use) return "端口已被其他程序占用";
    if (error == asio::error::access_denied) return "没有权限使用这个端口";
    if (error == boost::system::errc::address_not_available) return "这个地址不属于本机";
    if (error == asio::error::no_descriptors) return "打开的连接过多";
    return "系统无法打开网络端口";
}

} // namespace

std::string makePairingPassword() {
    // Rejection sampling: bytes at or above the largest multiple of the alphabet size are
    // drawn again, so every character is equally likely.
    constexpr unsigned kLimit = 256 - 256 % kPasswordAlphabet.size();
    std::string password;
    while (password.size() < kPasswordLength)
        for (uint8_t byte : crypto::randomBytes(kPasswordLength))
            if (byte < kLimit && password.size() < kPasswordLength)
                password += kPasswordAlphabet[byte % kPasswordAlphabet.size()];
    return password;
}

// The listening socket, on the LAN io thread.
struct MacLANHost::Listener : std::enable_shared_from_this<Listener> {
    tcp::acceptor acceptor{lanIoThread().context()};
    std::function<void(tcp::socket)> onSocket;
    std::function<void(std::string)> onFailure;
    bool closed = false;
    uint16_t port = 0;

    error_code open(const Options& options) {
        error_code error;
        auto openAt = [&](const tcp::endpoint& where) {
            acceptor.open(where.protocol(), error);
            if (error) return;
            if (where.address().is_v6()) acceptor.set_option(asio::ip::v6_only(false), error);
            if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
            if (!error) acceptor.bind(where, error);
            if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
            if (error) {
                error_code ignored;
                acceptor.close(ignored);
            }
        };
        if (options.listenAddress.empty()) {
            openAt({tcp::v6(), options.port});
            if (error) openAt({tcp::v4(), options.port}); // a system without IPv6
        } else {
            auto address = asio::ip::make_address(options.listenAddress, error);
            if (!error) openAt({address, options.port});
        }
        if (!error) port = acceptor.local_endpoint(error).port();
        return error;
    }

    void acceptNext() {
        acceptor.async_accept([self = shared_from_this()](error_code error, tcp::socket socket) {
            if (self->closed) return;
            if (error == asio::error::connection_aborted) return self->acceptNext(); // the peer gave up
            if (error) return self->onFailure(describeListenError(error));
            self->onSocket(std::move(socket));
            self->acceptNext();
        });
    }
    void close() {
        asio::post(lanIoThread().context(), [self = shared_from_this()] {
            self->closed = true;
            error_code ignored;
            self->acceptor.close(ignored);
        });
    }
};

// The state of one incoming link.
struct MacLANHost::Connection {
    std::shared_ptr<MacLANLink> link;
    std::string nonce = makeNonce();
    std::string controllerKey;
    std::string controllerName;
    bool authenticating = false; // "auth" arrived; a second one is out of order
    std::string sessionID;
};

std::shared_ptr<MacLANHost> MacLANHost::create(crypto::P256SigningKey identity, MacLANTrust& trust,
                                               std::shared_ptr<LANSessionTarget> share, std::string name,
                                               Options options) {
    return std::shared_ptr<MacLANHost>(
        new MacLANHost(std::move(identity), trust, std::move(share), std::move(name), std::move(options)));
}

std::shared_ptr<MacLANHost> MacLANHost::create(crypto::P256SigningKey identity, MacLANTrust& trust,
                                               std::shared_ptr<LANSessionTarget> share, std::string name) {
    return create(std::move(identity), trust, std::move(share), std::move(name), Options{});
}

MacLANHost::MacLANHost(crypto::P256SigningKey identity, MacLANTrust& trust,
                       std::shared_ptr<LANSessionTarget> share, std::string name, Options options)
    : identity(std::move(identity)), ownKey(publicKeyText(this->identity)), trust(trust),
      share(std::move(share)), name(std::move(name)), options(std::move(options)),
      main(this->options.main ? *this->options.main : mainQueue()), currentPassword(makePairingPassword()) {}

MacLANHost::~MacLANHost() {
    if (listener) listener->close();
}

// MARK: Lifecycle

Result<void> MacLANHost::start() {
    if (stopped || listener) return Error{"局域网直连已停止"};
    auto opened = std::make_shared<Listener>();
    // Opened on the io thread, behind the close of a host stopped just before, so a new host
    // can take the port at once.
    std::promise<error_code> result;
    asio::post(lanIoThread().context(), [&] { result.set_value(opened->open(options)); });
    if (auto error = result.get_future().get()) return Error{describeListenError(error)};
    boundPort = opened->port;

    opened->onSocket = [weak = weak_from_this(), queue = &main](tcp::socket socket) {
        auto connection = LANConnection::accepted(std::move(socket));
        weakCallback<>(weak, *queue, [connection](MacLANHost& self) {
            self.serve(MacLANLink::create(connection, self.main));
        })();
    };
    opened->onFailure =
        weakCallback<std::string>(weak_from_this(), main, [](MacLANHost& self, std::string text) {
            if (!self.stopped) self.event("局域网直连端口无法监听：" + text);
        });
    listener = opened;
    asio::post(lanIoThread().context(), [opened] { opened->acceptNext(); });

    if (options.discovery)
        advertisement = options.discovery->publish(
            name, kLANServiceType, boundPort,
            weakCallback<std::string>(weak_from_this(), main, [](MacLANHost& self, std::string text) {
                if (!self.stopped) self.event("局域网自动发现无法广播：" + text);
            }));
    return {};
}

void MacLANHost::stop() {
    if (stopped) return;
    stopped = true;
    advertisement.reset();
    if (listener) listener->close();
    listener.reset();
    auto closing = std::move(connections);
    connections.clear();
    for (auto& connection : closing)
        connection->link->close();
}

void MacLANHost::rotatePassword() {
    currentPassword = makePairingPassword();
    failures = 0;
    if (onPasswordChange) onPasswordChange(currentPassword);
}

void MacLANHost::event(const std::string& text) {
    if (onEvent) onEvent(text);
}

// MARK: Connections

void MacLANHost::serve(std::shared_ptr<MacLANLink> link) {
    if (stopped) return link->close();
    auto connection = std::make_shared<Connection>();
    connection->link = link;
    connections.push_back(connection);
    std::weak_ptr<Connection> weakConnection = connection;
    link->onClose = [weak = weak_from_this(), weakConnection] {
        auto self = weak.lock();
        auto connection = weakConnection.lock();
        if (self && connection) self->connectionClosed(connection);
    };
    link->onMessage = [weak = weak_from_this(), weakConnection](Json message) {
        auto self = weak.lock();
        auto connection = weakConnection.lock();
        if (self && connection && !self->stopped) self->handle(connection, message);
    };
    link->start();
}

void MacLANHost::connectionClosed(const std::shared_ptr<Connection>& connection) {
    std::erase(connections, connection);
    if (!connection->sessionID.empty() && share)
        share->receiveLocal({{"type", "end"}, {"session_id", connection->sessionID}});
}

void MacLANHost::handle(const std::shared_ptr<Connection>& connection, const Json& message) {
    auto type = field::string(message, "t");
    if (!type) return;
    if (*type == "hello") {
        if (!connection->controllerKey.empty()) return connection->link->close();
        handleHello(*connection, message);
    } else if (*type == "auth") {
        if (connection->controllerKey.empty() || connection->authenticating) return connection->link->close();
        connection->authenticating = true;
        handleAuth(connection, message);
    } else if (*type == "rtc") {
        if (!connection->sessionID.empty()) handleRtc(*connection, message);
    }
}

void MacLANHost::handleHello(Connection& connection, const Json& message) {
    auto key = field::string(message, "key");
    auto nonce = field::string(message, "nonce");
    if (!key || !nonce || nonce->size() != kNonceLength) return connection.link->close();
    connection.controllerKey = *key;
    connection.controllerName = peerName(field::string(message, "name", "局域网设备"));
    connection.link->send({{"t", "hello"},
                           {"key", ownKey},
                           {"name", name},
                           {"nonce", connection.nonce},
                           {"sig", sign("host|" + *nonce + "|" + connection.controllerKey, identity)}});
}

void MacLANHost::handleAuth(const std::shared_ptr<Connection>& connection, const Json& message) {
    if (!verify(connection->controllerKey, field::string(message, "sig"),
                "controller|" + connection->nonce + "|" + ownKey))
        return connection->link->close();
    if (trust.contains(connection->controllerKey)) return accept(*connection);
    auto proof = field::string(message, "pw");
    if (!proof) return reject(*connection, "need_password");
    if (options.now() < lockedUntil) return reject(*connection, "locked");
    checkProof(connection, *proof);
}

void MacLANHost::checkProof(const std::shared_ptr<Connection>& connection, const std::string& proof) {
    if (proof != passwordProof(currentPassword, connection->nonce, connection->controllerKey, ownKey)) {
        if (++failures > kMaxWrongProofs) {
            lockedUntil = options.now() + kLockDuration;
            rotatePassword();
        }
        return reject(*connection, "wrong_password");
    }
    failures = 0;
    if (!confirm) return reject(*connection, "declined");
    Request request{connection->controllerName, connection->controllerKey,
                    fingerprint(connection->controllerKey)};
    // The answer may come long after: it counts only while both the host and the link live.
    std::weak_ptr<Connection> weakConnection = connection;
    confirm(request, [weak = weak_from_this(), weakConnection](bool allowed) {
        auto self = weak.lock();
        auto connection = weakConnection.lock();
        if (!self || !connection || self->stopped || connection->link->isClosed()) return;
        if (!allowed) return self->reject(*connection, "declined");
        self->trust.add(connection->controllerKey, connection->controllerName);
        self->rotatePassword();
        self->accept(*connection);
    });
}

void MacLANHost::accept(Connection& connection) {
    if (!share) return reject(connection, "busy");
    std::string controllerID = "lan:" + fingerprint(connection.controllerKey);
    auto send = weakCallback<Json>(connection.link, main, [identity = identity](MacLANLink& link, Json m) {
        link.send(rtcMessage(m, identity));
    });
    auto session = share->attachLocal(controllerID, std::move(send));
    if (!session) return reject(connection, "busy");
    connection.sessionID = *session;
    connection.link->send({{"t", "accepted"}, {"session", *session}});
    event("局域网连接：" + connection.controllerName);
}

void MacLANHost::reject(Connection& connection, const char* reason) {
    connection.link->sendAndClose({{"t", "rejected"}, {"reason", reason}});
}

void MacLANHost::handleRtc(Connection& connection, const Json& message) {
    const Json* inner = field::object(message, "m");
    if (!inner) return;
    Json m = *inner;
    if (field::string(m, "type") == "offer") {
        auto sdp = field::string(m, "sdp");
        if (!sdp || !verify(connection.controllerKey, field::string(message, "sig"), "sdp|" + *sdp))
            return connection.link->close();
    }
    m["session_id"] = connection.sessionID;
    if (share) share->receiveLocal(std::move(m));
}

} // namespace quorlinth
