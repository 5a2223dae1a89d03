#pragma once

#include "ServiceClock.h"
#include "ServiceSettings.h"
#include "SignalBus.h"
#include "base/Json.h"
#include "base/Result.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorlinth::service {

// One open signaling socket as the hub sees it. The calls only queue work on the socket's
// own strand, so the hub may call them under its lock.
class SignalPeer {
public:
    virtual ~SignalPeer() = default;
    // Queues a relayed frame; false (nothing queued) when the reader is too far behind.
    virtual bool sendText(std::string text) = 0;
    // Queues a frame of the service itself (ready, request, accepted, end): few and small, so
    // always taken, and a reader that fell behind still learns how its session ended.
    virtual void sendControl(std::string text) = 0;
    // Closes with 1000: the socket was replaced or its device removed.
    virtual void close() = 0;
    // Closes with 1008 (policy violation): the socket sent more than it may.
    virtual void closeForPolicy() = 0;
};

struct SessionOpening {
    std::string hostDeviceId;
    std::string controllerDeviceId;
    std::string controllerName;
    bool guest = false;
    Json hostIceServers = Json::array();
    Json controllerIceServers = Json::array();
};

// The signaling relay: which device has a socket open, and the sessions that each bind
// exactly one host socket and one controller socket. Messages are relayed only between the
// two sockets of a session, and only the fields each type defines. Until the host accepts,
// nothing from the controller reaches it but the request: early candidates wait here. A
// sender whose receiver cannot keep up is closed for policy, not the receiver.
//
// With a bus, the two sockets of a session may live on different nodes. The host's node
// keeps the session (acceptance, held candidates, expiry); the controller's node keeps a
// record that binds the session to its socket and forwards what the controller sends. The
// session id ends with the host's node, so any node can route a controller's message.
class SignalHub {
public:
    SignalHub(const ServiceClock& clock, const ServiceSettings& settings)
        : clock(clock), settings(settings) {}

    // Shares presence and sessions with other nodes through `bus`; before any socket attaches.
    // The bus must be stopped before the hub goes.
    void useBus(SignalBus* bus);

    // Registers the socket of a device and greets it with "ready". An older socket of the
    // same device is closed and its sessions end.
    uint64_t attach(const std::string& deviceId, std::shared_ptr<SignalPeer> peer);
    // The socket is gone: every session it took part in ends with "signal_closed".
    void detach(uint64_t connection);
    void receive(uint64_t connection, std::string_view text);

    // On this node or, with a bus, on any node.
    bool isConnected(const std::string& deviceId);
    // Whether the device hosts a session kept on this node.
    bool isHosting(const std::string& deviceId);
    // For an unbound device: closes its socket, on whichever node it is.
    void disconnectDevice(const std::string& deviceId);

    // Creates a session and sends "request" to the host. Fails with "device_offline",
    // "device_busy" or "controller_not_ready".
    Result<std::string> openSession(const SessionOpening& opening);
    // Ends sessions whose host never answered.
    void expirePending();
    // Forgets every socket and session without sending anything; for shutdown, once the
    // sockets' I/O has stopped and before it is torn down.
    void clear();

private:
    struct Connection {
        std::string deviceId;
        std::shared_ptr<SignalPeer> peer;
    };
    struct Session {
        std::string hostDeviceId;          // empty in a controller's record of a remote host
        uint64_t hostConnection = 0;       // 0: the host's socket is on peerNode
        uint64_t controllerConnection = 0; // 0: the controller's socket is on peerNode
        std::string controllerDeviceId;
        std::string peerNode; // the other side's node, when not this one
        bool accepted = false;
        int64_t createdAt = 0;
        Json controllerIceServers;
        std::vector<Json> heldForHost; // the controller's candidates before accept
    };
    using Sessions = std::map<std::string, Session>;

    std::string newSessionId(const std::string& hostNode) const;
    // This node, another one, or none when the device is offline; waits for the bus.
    std::optional<std::string> nodeOfDevice(const std::string& deviceId);
    // Creates a session whose host socket is on this node and sends it the request.
    Result<std::string> openHere(const std::string& sessionId, const SessionOpening& opening,
                                 const std::string& controllerNode);
    // A message of the service itself.
    void send(uint64_t connection, const Json& message);
    void sendToController(const std::string& sessionId, const Session& session, const Json& message);
    // A message from the other side; when the reader is too far behind, the sender is closed.
    void relayToHost(const std::string& sessionId, const Session& session, const Json& message);
    void relayToController(const std::string& sessionId, const Session& session, const Json& message);
    void closeForPolicy(uint64_t connection);
    void endSessionsOf(uint64_t connection);
    // Removes the session and moves `session` past it.
    Sessions::node_type takeSession(Sessions::iterator& session);
    void dropDevice(const std::string& deviceId);
    void forwardToHost(const std::string& sessionId, Session& session, const std::string& type,
                       const Json& message);
    void startForwarding(uint64_t connection, const std::string& sessionId, const std::string& type,
                         const Json& message);
    void publish(const std::string& node, Json message);

    // Messages from other nodes.
    void receiveFromBus(const std::string& text);
    void openFromBus(const Json& message);
    void toHostFromBus(const std::string& sessionId, const std::string& fromNode, const Json& message);
    void toControllerFromBus(const std::string& sessionId, const std::string& fromNode, const Json& message);
    void closedFromBus(const std::string& sessionId, const std::string& fromNode, bool tell);
    void overflowFromBus(const std::string& sessionId, const std::string& fromNode);
    void relayFromHost(const std::string& sessionId, Session& session, const std::string& type,
                       const Json& message);
    void relayFromController(const std::string& sessionId, Session& session, const std::string& type,
                             const Json& message);
    static std::optional<Json> relayed(const std::string& type, const std::string& sessionId,
                                       const Json& message);

    const ServiceClock& clock;
    const ServiceSettings& settings;
    std::mutex mutex;
    uint64_t nextConnection = 1;
    std::unordered_map<uint64_t, Connection> connections;
    std::unordered_map<std::string, uint64_t> connectionByDevice;
    Sessions sessions;
    SignalBus* bus = nullptr;
};

} // namespace quorlinth::service
