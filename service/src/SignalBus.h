#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quorlinth::service {

// What the signaling hub shares with the other nodes of a cluster: where each device's socket
// lives, which host is taken by a session, and messages addressed to one node. Every entry
// expires unless the node that made it keeps refreshing it, so a node that dies takes its
// devices offline within a bounded time.
//
// Calls marked "queued" never wait for the network and may be made under the hub's lock;
// the others wait for an answer and must not be.
class SignalBus {
public:
    // Whether claiming a host found it free, taken, or could not ask.
    enum class Claim { claimed, taken, unavailable };

    virtual ~SignalBus() = default;

    virtual const std::string& nodeId() const = 0;
    // Starts delivering messages addressed to this node to `receive`, on the bus's own thread.
    virtual void start(std::function<void(const std::string& message)> receive) = 0;
    // Stops delivering and waits for the bus's threads; later calls do nothing.
    virtual void stop() = 0;

    // Queued: sends a message to another node.
    virtual void publish(const std::string& node, std::string message) = 0;
    // The same, once Redis took it: what is published after this call arrives after it.
    virtual bool publishNow(const std::string& node, std::string message) = 0;
    // Queued: this node holds the device's socket, until withdrawn. A node that held it before
    // is told "replaced" so it closes its older socket.
    virtual void announce(const std::string& deviceId) = 0;
    virtual void withdraw(const std::string& deviceId) = 0;
    // The node holding the device's socket; none when offline or when the bus cannot be asked.
    virtual std::optional<std::string> nodeOf(const std::string& deviceId) = 0;

    // Marks the host as taken by the session, unless another session has it.
    virtual Claim claimHost(const std::string& hostDeviceId, const std::string& sessionId) = 0;
    // Queued: this node keeps the claim alive while the session lasts, then releases it.
    virtual void holdHost(const std::string& hostDeviceId, const std::string& sessionId) = 0;
    virtual void releaseHost(const std::string& hostDeviceId, const std::string& sessionId) = 0;
};

} // namespace quorlinth::service
