#pragma once

#include "base/Json.h"
#include "base/MainQueue.h"
#include "base/Result.h"
#include "crypto/P256.h"
#include "lan/LANEndpoint.h"
#include "lan/LANSessionTarget.h"
#include "lan/MacLANTrust.h"
#include "platform/ServiceDiscovery.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth {

class MacLANLink;

inline constexpr const char* kLANServiceType = "_quorlinth._tcp";

// Lets controllers on the same network connect while this Mac is shared: listens on the LAN
// port, advertises itself, runs the shared Mac's side of the handshake on every connection,
// admits a trusted key, or a correct pairing proof with the user's consent, guards the
// password against guessing, and attaches an accepted controller's session to the share host,
// relaying signaling both ways. Main-thread bound.
class MacLANHost : public std::enable_shared_from_this<MacLANHost> {
public:
    struct Request {
        std::string name;        // controller display name (at most 64 characters)
        std::string key;         // controller public key text
        std::string fingerprint; // of `key`
    };
    struct Options {
        uint16_t port = kLANPort;              // 0 picks a free port (tests)
        std::string listenAddress;             // numeric; every interface when empty
        ServiceDiscovery* discovery = nullptr; // advertises the host when set
        Dispatcher* main = nullptr;            // the process's main queue when unset
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
    };

    static constexpr int kMaxWrongProofs = 4; // the next one locks
    static constexpr Millis kLockDuration{300'000};

    static std::shared_ptr<MacLANHost> create(crypto::P256SigningKey identity, MacLANTrust& trust,
                                              std::shared_ptr<LANSessionTarget> share, std::string name,
                                              Options options);
    static std::shared_ptr<MacLANHost> create(crypto::P256SigningKey identity, MacLANTrust& trust,
                                              std::shared_ptr<LANSessionTarget> share, std::string name);
    ~MacLANHost();

    // Set before start(); all run on the main queue.
    std::function<void(Request, std::function<void(bool)> completion)> confirm;
    std::function<void(std::string text)> onEvent;
    std::function<void(std::string password)> onPasswordChange;

    // Listens and advertises; the error's Chinese description when the port cannot be opened.
    Result<void> start();
    // Stops listening and closes every link; final.
    void stop();
    // A new pairing password; the wrong-proof count restarts.
    void rotatePassword();

    const std::string& password() const { return currentPassword; }
    // The port actually listened on (differs from the option only for 0).
    uint16_t port() const { return boundPort; }
    size_t linkCount() const { return connections.size(); }

    // Runs the handshake on a link opened elsewhere; the listener hands over each connection
    // this way. The host starts the link.
    void serve(std::shared_ptr<MacLANLink> link);

private:
    struct Connection;
    struct Listener;

    MacLANHost(crypto::P256SigningKey identity, MacLANTrust& trust, std::shared_ptr<LANSessionTarget> share,
               std::string name, Options options);

    void connectionClosed(const std::shared_ptr<Connection>& connection);
    void handle(const std::shared_ptr<Connection>& connection, const Json& message);
    void handleHello(Connection& connection, const Json& message);
    void handleAuth(const std::shared_ptr<Connection>& connection, const Json& message);
    void checkProof(const std::shared_ptr<Connection>& connection, const std::string& proof);
    void handleRtc(Connection& connection, const Json& message);
    void accept(Connection& connection);
    void reject(Connection& connection, const char* reason);
    void event(const std::string& text);

    crypto::P256SigningKey identity;
    std::string ownKey;
    MacLANTrust& trust;
    std::shared_ptr<LANSessionTarget> share;
    std::string name;
    Options options;
    Dispatcher& main;
    uint16_t boundPort = 0;
    std::shared_ptr<Listener> listener;
    std::unique_ptr<Observation> advertisement;
    std::vector<std::shared_ptr<Connection>> connections;
    int failures = 0;
    Clock::time_point lockedUntil = Clock::time_point::min();
    std::string currentPassword;
    bool stopped = false;
};

// 10 characters drawn uniformly from "23456789abcdefghjkmnpqrstuvwxyz".
std::string makePairingPassword();

} // namespace quorlinth
