#pragma once

#include "base/Json.h"
#include "base/MainQueue.h"
#include "crypto/P256.h"
#include "lan/LANEndpoint.h"
#include "lan/MacLANTrust.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace quorlinth {

class MacLANLink;

// The controller's half of the LAN handshake towards one address: checks the shared Mac's
// identity against what answered at that address before, proves the pairing password when
// one was typed, and reports exactly one outcome. After acceptance the link carries signaling
// until close(). Main-thread bound, except send(), which may be called from any thread.
class MacLANDial : public std::enable_shared_from_this<MacLANDial> {
public:
    struct Accepted {
        std::string session, hostName, hostKey;
        bool operator==(const Accepted&) const = default;
    };
    struct Rejected {
        std::string reason; // "need_password", "wrong_password", "locked", "declined", "busy"...
        bool operator==(const Rejected&) const = default;
    };
    struct Failed {
        std::string message; // Chinese, for the user
        bool operator==(const Failed&) const = default;
    };
    using Outcome = std::variant<Accepted, Rejected, Failed>;

    static std::shared_ptr<MacLANDial> create(crypto::P256SigningKey identity, MacLANTrust& known,
                                              LANEndpoint endpoint, std::optional<std::string> password,
                                              std::string name, Dispatcher* main = nullptr);
    ~MacLANDial();

    std::function<void(Outcome)> onOutcome;
    std::function<void(Json m)> onMessage; // each verified signaling message after acceptance
    std::function<void()> onClose;         // the link closed

    void start();
    // Signs and sends one signaling message on the link; any thread.
    void send(Json m);
    // Closes the link (onClose follows); final.
    void close();

    const LANEndpoint& address() const { return endpoint; }

private:
    MacLANDial(crypto::P256SigningKey identity, MacLANTrust& known, LANEndpoint endpoint,
               std::optional<std::string> password, std::string name, Dispatcher& main);

    void handle(const Json& message);
    void handleHello(const Json& message);
    void handleRtc(const Json& message);
    void fail(const std::string& message);
    void report(Outcome outcome);

    crypto::P256SigningKey identity;
    std::string ownKey;
    MacLANTrust& known;
    LANEndpoint endpoint;
    std::optional<std::string> password;
    std::string name;
    Dispatcher& main;
    std::shared_ptr<MacLANLink> link;
    std::string nonce;
    std::string hostKey, hostName;
    bool accepted = false;
    bool finished = false;
};

inline constexpr const char* kLANUnreachable = "无法连接到对方，请确认地址、对方已开启局域网直连并正在共享";
inline constexpr const char* kLANIdentityInvalid = "对方身份校验失败";
inline constexpr const char* kLANIdentityChanged =
    "对方的身份与上次连接时不同。如果对方重装过 Quorlinth，请在“共享这台 "
    "Mac”页确认后，在本机“忘记此设备”再连接。";
inline constexpr const char* kLANSignatureInvalid = "对方连接信息签名无效";

// The status a remote session shows for a rejection reason.
std::string lanRejectionText(const std::string& reason);

} // namespace quorlinth
