#include "SignalHub.h"

#include "Secrets.h"

#include <cctype>

namespace quorlinth::service {

namespace {

constexpr const char* kIdAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

// The node named at the end of a session id made with a bus ("s_RANDOM_NODE").
std::optional<std::string> hostNodeOfSession(const std::string& sessionId) {
    auto separator = sessionId.rfind('_');
    if (separator == std::string::npos || separator < 2) return std::nullopt;
    std::string node = sessionId.substr(separator + 1);
    if (node.empty() || node.size() > 32) return std::nullopt;
    for (char c : node)
        if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
    return node;
}

Json endMessage(const std::string& sessionId, const std::string& reason) {
    return Json{{"type", "end"}, {"session_id", sessionId}, {"reason", reason}};
}

} // namespace

void SignalHub::useBus(SignalBus* newBus) {
    bus = newBus;
    if (bus) bus->start([this](const std::string& text) { receiveFromBus(text); });
}

uint64_t SignalHub::attach(const std::string& deviceId, std::shared_ptr<SignalPeer> peer) {
    std::lock_guard lock(mutex);
    if (auto older = connectionByDevice.find(deviceId); older != connectionByDevice.end()) {
        uint64_t olderConnection = older->second;
        endSessionsOf(olderConnection);
        if (auto found = connections.find(olderConnection); found != connections.end()) {
            found->second.peer->close();
            connections.erase(found);
        }
    }
    uint64_t connection = nextConnection++;
    connections[connection] = {deviceId, peer};
    connectionByDevice[deviceId] = connection;
    if (bus) bus->announce(deviceId);
    send(connection, Json{{"type", "ready"}});
    return connection;
}

void SignalHub::detach(uint64_t connection) {
    std::lock_guard lock(mutex);
    auto found = connections.find(connection);
    if (found == connections.end()) return;
    endSessionsOf(connection);
    auto byDevice = connectionByDevice.find(found->second.deviceId);
    if (byDevice != connectionByDevice.end() && byDevice->second == connection) {
        if (bus) bus->withdraw(byDevice->first);
        connectionByDevice.erase(byDevice);
    }
    connections.erase(found);
}

bool SignalHub::isConnected(const std::string& deviceId) {
    return nodeOfDevice(deviceId).has_value();
}

std::optional<std::string> SignalHub::nodeOfDevice(const std::string& deviceId) {
    {
        std::lock_guard lock(mutex);
        if (connectionByDevice.count(deviceId) > 0) return bus ? bus->nodeId() : std::string();
    }
    if (!bus) return std::nullopt;
    return bus->nodeOf(deviceId);
}

bool SignalHub::isHosting(const std::string& deviceId) {
    std::lock_guard lock(mutex);
    for (const auto& [id, session] : sessions)
        if (session.hostConnection != 0 && session.hostDeviceId == deviceId) return true;
    return false;
}

void SignalHub::disconnectDevice(const std::string& deviceId) {
    {
        std::lock_guard lock(mutex);
        if (connectionByDevice.count(deviceId) > 0) return dropDevice(deviceId);
    }
    if (!bus) return;
    if (auto node = bus->nodeOf(deviceId); node && *node != bus->nodeId())
        publish(*node, Json{{"kind", "disconnect"}, {"device", deviceId}});
}

void SignalHub::dropDevice(const std::string& deviceId) {
    auto byDevice = connectionByDevice.find(deviceId);
    if (byDevice == connectionByDevice.end()) return;
    uint64_t connection = byDevice->second;
    endSessionsOf(connection);
    connections.at(connection).peer->close();
    connections.erase(connection);
    connectionByDevice.erase(byDevice);
    if (bus) bus->withdraw(deviceId);
}

std::string SignalHub::newSessionId(const std::string& hostNode) const {
    std::string id = "s_" + randomText(24, kIdAlphabet);
    return hostNode.empty() ? id : id + "_" + hostNode;
}

Result<std::string> SignalHub::openSession(const SessionOpening& opening) {
    if (!bus) {
        std::lock_guard lock(mutex);
        return openHere(newSessionId(""), opening, "");
    }
    auto hostNode = nodeOfDevice(opening.hostDeviceId);
    if (!hostNode) return Error{"device_offline"};
    auto controllerNode = nodeOfDevice(opening.controllerDeviceId);
    if (!controllerNode) return Error{"controller_not_ready"};
    if (isHosting(opening.hostDeviceId)) return Error{"device_busy"};
    std::string sessionId = newSessionId(*hostNode);
    // Without the bus only this node's sessions can be checked, and only its devices reached.
    if (bus->claimHost(opening.hostDeviceId, sessionId) == SignalBus::Claim::taken)
        return Error{"device_busy"};
    if (*hostNode == bus->nodeId()) {
        std::lock_guard lock(mutex);
        auto opened = openHere(sessionId, opening, *controllerNode);
        if (!opened) bus->releaseHost(opening.hostDeviceId, sessionId);
        return opened;
    }
    // Sent before the answer goes out, so that the host's node knows the session by the time the
    // controller's first message for it arrives there.
    Json open{{"kind", "open"},
              {"session", sessionId},
              {"host", opening.hostDeviceId},
              {"controller", opening.controllerDeviceId},
              {"controller_node", *controllerNode},
              {"name", opening.controllerName},
              {"guest", opening.guest},
              {"host_ice", opening.hostIceServers},
              {"controller_ice", opening.controllerIceServers},
              {"from", bus->nodeId()}};
    if (!bus->publishNow(*hostNode, dumpJson(open))) {
        bus->releaseHost(opening.hostDeviceId, sessionId);
        return Error{"device_offline"};
    }
    return sessionId;
}

Result<std::string> SignalHub::openHere(const std::string& sessionId, const SessionOpening& opening,
                                        const std::string& controllerNode) {
    auto host = connectionByDevice.find(opening.hostDeviceId);
    if (host == connectionByDevice.end()) return Error{"device_offline"};
    Session session;
    session.hostDeviceId = opening.hostDeviceId;
    session.hostConnection = host->second;
    session.controllerDeviceId = opening.controllerDeviceId;
    session.createdAt = clock.now();
    session.controllerIceServers = opening.controllerIceServers;
    if (controllerNode.empty() || (bus && controllerNode == bus->nodeId())) {
        auto controller = connectionByDevice.find(opening.controllerDeviceId);
        if (controller == connectionByDevice.end()) return Error{"controller_not_ready"};
        session.controllerConnection = controller->second;
    } else {
        session.peerNode = controllerNode;
    }
    for (const auto& [id, existing] : sessions)
        if (existing.hostConnection != 0 && existing.hostDeviceId == opening.hostDeviceId)
            return Error{"device_busy"};
    sessions[sessionId] = std::move(session);
    if (bus) bus->holdHost(opening.hostDeviceId, sessionId);
    send(host->second, Json{{"type", "request"},
                            {"session_id", sessionId},
                            {"controller_id", opening.controllerDeviceId},
                            {"name", opening.controllerName},
                            {"guest", opening.guest},
                            {"ice_servers", opening.hostIceServers}});
    return sessionId;
}

void SignalHub::expirePending() {
    std::lock_guard lock(mutex);
    int64_t now = clock.now();
    for (auto it = sessions.begin(); it != sessions.end();) {
        const Session& session = it->second;
        // A controller's record of a remote host hears of the timeout from the host's node,
        // and is forgotten a while later should that node have died.
        int64_t lifetime = settings.pendingSessionLifetime + (session.hostConnection == 0 ? 30 : 0);
        if (session.accepted || now - session.createdAt < lifetime) {
            ++it;
            continue;
        }
        auto ended = takeSession(it);
        if (ended.mapped().hostConnection != 0) {
            send(ended.mapped().hostConnection, endMessage(ended.key(), "timeout"));
            sendToController(ended.key(), ended.mapped(), endMessage(ended.key(), "timeout"));
        }
    }
}

void SignalHub::clear() {
    std::lock_guard lock(mutex);
    sessions.clear();
    connectionByDevice.clear();
    connections.clear();
}

void SignalHub::receive(uint64_t connection, std::string_view text) {
    auto message = parseJsonObject(text);
    if (!message) return;
    auto type = field::string(*message, "type");
    auto sessionId = field::string(*message, "session_id");
    if (!type || !sessionId) return;
    std::lock_guard lock(mutex);
    auto found = sessions.find(*sessionId);
    if (found == sessions.end()) return startForwarding(connection, *sessionId, *type, *message);
    Session& session = found->second;
    if (session.hostConnection != 0 && connection == session.hostConnection)
        relayFromHost(*sessionId, session, *type, *message);
    else if (connection == session.controllerConnection && session.hostConnection == 0)
        forwardToHost(*sessionId, session, *type, *message);
    else if (connection == session.controllerConnection)
        relayFromController(*sessionId, session, *type, *message);
}

void SignalHub::relayFromHost(const std::string& sessionId, Session& session, const std::string& type,
                              const Json& message) {
    if (type == "accept") {
        if (session.accepted) return;
        session.accepted = true;
        sendToController(sessionId, session,
                         Json{{"type", "accepted"},
                              {"session_id", sessionId},
                              {"ice_servers", session.controllerIceServers}});
        for (const Json& held : session.heldForHost)
            relayToHost(sessionId, session, held);
        session.heldForHost.clear();
    } else if (type == "reject" || type == "end") {
        auto found = sessions.find(sessionId);
        auto ended = takeSession(found);
        sendToController(sessionId, ended.mapped(),
                         endMessage(sessionId, type == "reject" ? "rejected" : "host_ended"));
    } else if ((type == "answer" || type == "ice") && session.accepted) {
        if (auto out = relayed(type, sessionId, message)) relayToController(sessionId, session, *out);
    }
}

void SignalHub::relayFromController(const std::string& sessionId, Session& session, const std::string& type,
                                    const Json& message) {
    if (type == "end") {
        uint64_t host = session.hostConnection;
        auto found = sessions.find(sessionId);
        takeSession(found);
        send(host, Json{{"type", "end"}, {"session_id", sessionId}});
    } else if (type == "offer" && session.accepted) {
        if (auto out = relayed(type, sessionId, message)) relayToHost(sessionId, session, *out);
    } else if (type == "ice") {
        auto out = relayed(type, sessionId, message);
        if (!out) return;
        if (session.accepted)
            relayToHost(sessionId, session, *out);
        else if (session.heldForHost.size() < size_t(settings.signalHeldCandidates))
            session.heldForHost.push_back(std::move(*out));
    }
}

// Rebuilds a relayed message from its known fields only, so nothing else crosses over.
std::optional<Json> SignalHub::relayed(const std::string& type, const std::string& sessionId,
                                       const Json& message) {
    Json out{{"type", type}, {"session_id", sessionId}};
    if (type == "offer" || type == "answer") {
        auto sdp = field::string(message, "sdp");
        if (!sdp) return std::nullopt;
        out["sdp"] = *sdp;
        return out;
    }
    auto candidate = field::string(message, "candidate");
    if (!candidate) return std::nullopt;
    out["candidate"] = *candidate;
    if (auto mid = field::string(message, "sdp_mid")) out["sdp_mid"] = *mid;
    if (auto index = field::int32(message, "sdp_mline_index")) out["sdp_mline_index"] = *index;
    return out;
}

void SignalHub::send(uint64_t connection, const Json& message) {
    auto found = connections.find(connection);
    if (found != connections.end()) found->second.peer->sendControl(dumpJson(message));
}

void SignalHub::sendToController(const std::string& sessionId, const Session& session, const Json& message) {
    if (session.controllerConnection != 0) return send(session.controllerConnection, message);
    publish(session.peerNode, Json{{"kind", "to_controller"},
                                   {"session", sessionId},
                                   {"device", session.controllerDeviceId},
                                   {"control", true},
                                   {"message", message}});
}

void SignalHub::relayToHost(const std::string& sessionId, const Session& session, const Json& message) {
    auto receiver = connections.find(session.hostConnection);
    if (receiver == connections.end() || receiver->second.peer->sendText(dumpJson(message))) return;
    if (session.controllerConnection != 0) return closeForPolicy(session.controllerConnection);
    publish(session.peerNode, Json{{"kind", "overflow"}, {"session", sessionId}});
}

void SignalHub::relayToController(const std::string& sessionId, const Session& session, const Json& message) {
    if (session.controllerConnection == 0) {
        publish(session.peerNode, Json{{"kind", "to_controller"},
                                       {"session", sessionId},
                                       {"device", session.controllerDeviceId},
                                       {"control", false},
                                       {"message", message}});
        return;
    }
    auto receiver = connections.find(session.controllerConnection);
    if (receiver == connections.end() || receiver->second.peer->sendText(dumpJson(message))) return;
    closeForPolicy(session.hostConnection);
}

void SignalHub::closeForPolicy(uint64_t connection) {
    if (auto sender = connections.find(connection); sender != connections.end())
        sender->second.peer->closeForPolicy();
}

void SignalHub::endSessionsOf(uint64_t connection) {
    for (auto it = sessions.begin(); it != sessions.end();) {
        const Session& session = it->second;
        bool isHost = session.hostConnection != 0 && session.hostConnection == connection;
        if (!isHost && session.controllerConnection != connection) {
            ++it;
            continue;
        }
        uint64_t other = isHost ? session.controllerConnection : session.hostConnection;
        auto ended = takeSession(it);
        if (other == 0)
            publish(ended.mapped().peerNode, Json{{"kind", "closed"}, {"session", ended.key()}});
        else if (other != connection)
            send(other, endMessage(ended.key(), "signal_closed"));
    }
}

// The host's claim is released before the caller tells anyone of the end: the bus sends in
// order, so whoever hears of it can open the host's next session at once, through any node.
SignalHub::Sessions::node_type SignalHub::takeSession(Sessions::iterator& session) {
    auto taken = sessions.extract(session++);
    if (bus && taken.mapped().hostConnection != 0) bus->releaseHost(taken.mapped().hostDeviceId, taken.key());
    return taken;
}

// A controller's message for a session this node does not know: when the session's host is on
// another node, this node starts a record that binds the session to the controller's socket.
// The host's node checks that the device is the session's controller.
void SignalHub::startForwarding(uint64_t connection, const std::string& sessionId, const std::string& type,
                                const Json& message) {
    if (!bus) return;
    auto node = hostNodeOfSession(sessionId);
    auto socket = connections.find(connection);
    if (!node || *node == bus->nodeId() || socket == connections.end()) return;
    if (type != "offer" && type != "ice" && type != "end") return;
    Session record;
    record.controllerConnection = connection;
    record.controllerDeviceId = socket->second.deviceId;
    record.peerNode = *node;
    record.createdAt = clock.now();
    forwardToHost(sessionId, sessions[sessionId] = std::move(record), type, message);
}

void SignalHub::forwardToHost(const std::string& sessionId, Session& session, const std::string& type,
                              const Json& message) {
    std::optional<Json> out;
    if (type == "end")
        out = Json{{"type", "end"}, {"session_id", sessionId}};
    else if (type == "offer" || type == "ice")
        out = relayed(type, sessionId, message);
    if (!out) return;
    publish(session.peerNode, Json{{"kind", "to_host"},
                                   {"session", sessionId},
                                   {"device", session.controllerDeviceId},
                                   {"message", std::move(*out)}});
    if (type == "end") sessions.erase(sessionId);
}

void SignalHub::publish(const std::string& node, Json message) {
    if (!bus) return;
    message["from"] = bus->nodeId();
    bus->publish(node, dumpJson(message));
}

void SignalHub::receiveFromBus(const std::string& text) {
    auto message = parseJsonObject(text);
    if (!message) return;
    auto kind = field::string(*message, "kind");
    auto from = field::string(*message, "from");
    if (!kind || !from) return;
    if (*kind == "open") return openFromBus(*message);
    if (*kind == "disconnect") {
        std::lock_guard lock(mutex);
        if (auto device = field::string(*message, "device")) dropDevice(*device);
        return;
    }
    auto sessionId = field::string(*message, "session");
    if (!sessionId) return;
    if (*kind == "to_host") return toHostFromBus(*sessionId, *from, *message);
    if (*kind == "to_controller") return toControllerFromBus(*sessionId, *from, *message);
    if (*kind == "closed") return closedFromBus(*sessionId, *from, true);
    if (*kind == "forget") return closedFromBus(*sessionId, *from, false);
    if (*kind == "overflow") return overflowFromBus(*sessionId, *from);
}

void SignalHub::openFromBus(const Json& message) {
    SessionOpening opening;
    auto sessionId = field::string(message, "session");
    auto host = field::string(message, "host");
    auto controller = field::string(message, "controller");
    auto controllerNode = field::string(message, "controller_node");
    if (!sessionId || !host || !controller || !controllerNode) return;
    opening.hostDeviceId = *host;
    opening.controllerDeviceId = *controller;
    opening.controllerName = field::string(message, "name", "");
    opening.guest = field::boolean(message, "guest", false);
    if (const Json* ice = field::array(message, "host_ice")) opening.hostIceServers = *ice;
    if (const Json* ice = field::array(message, "controller_ice")) opening.controllerIceServers = *ice;
    std::lock_guard lock(mutex);
    if (openHere(*sessionId, opening, *controllerNode)) return;
    // The host left (or the controller, on this node) between the check and the request.
    bus->releaseHost(*host, *sessionId);
    Session gone;
    gone.controllerDeviceId = *controller;
    if (*controllerNode == bus->nodeId()) {
        auto local = connectionByDevice.find(*controller);
        if (local == connectionByDevice.end()) return;
        gone.controllerConnection = local->second;
    } else {
        gone.peerNode = *controllerNode;
    }
    sendToController(*sessionId, gone, endMessage(*sessionId, "signal_closed"));
}

void SignalHub::toHostFromBus(const std::string& sessionId, const std::string& fromNode,
                              const Json& message) {
    const Json* inner = field::object(message, "message");
    auto device = field::string(message, "device");
    if (!inner || !device) return;
    auto type = field::string(*inner, "type");
    std::lock_guard lock(mutex);
    auto found = sessions.find(sessionId);
    if (found == sessions.end() || found->second.hostConnection == 0 ||
        found->second.controllerConnection != 0 || found->second.peerNode != fromNode ||
        found->second.controllerDeviceId != *device || !type) {
        publish(fromNode, Json{{"kind", "forget"}, {"session", sessionId}});
        return;
    }
    relayFromController(sessionId, found->second, *type, *inner);
}

void SignalHub::toControllerFromBus(const std::string& sessionId, const std::string& fromNode,
                                    const Json& message) {
    const Json* inner = field::object(message, "message");
    auto device = field::string(message, "device");
    if (!inner || !device) return;
    bool control = field::boolean(message, "control", false);
    std::string type = field::string(*inner, "type", "");
    std::lock_guard lock(mutex);
    auto found = sessions.find(sessionId);
    if (found == sessions.end()) {
        auto socket = connectionByDevice.find(*device);
        if (socket == connectionByDevice.end()) {
            if (type != "end") publish(fromNode, Json{{"kind", "closed"}, {"session", sessionId}});
            return;
        }
        Session record;
        record.controllerConnection = socket->second;
        record.controllerDeviceId = *device;
        record.peerNode = fromNode;
        record.createdAt = clock.now();
        found = sessions.emplace(sessionId, std::move(record)).first;
    }
    Session& session = found->second;
    if (session.hostConnection != 0 || session.peerNode != fromNode || session.controllerDeviceId != *device)
        return;
    if (type == "accepted") session.accepted = true;
    auto socket = connections.find(session.controllerConnection);
    if (socket != connections.end()) {
        if (control)
            socket->second.peer->sendControl(dumpJson(*inner));
        else if (!socket->second.peer->sendText(dumpJson(*inner)))
            publish(fromNode, Json{{"kind", "overflow"}, {"session", sessionId}});
    }
    if (type == "end") sessions.erase(found);
}

// The other side's socket is gone (`tell`: the local side learns it), or the host's node does
// not know the session the controller named (as on one node, the message is simply dropped).
void SignalHub::closedFromBus(const std::string& sessionId, const std::string& fromNode, bool tell) {
    std::lock_guard lock(mutex);
    auto found = sessions.find(sessionId);
    if (found == sessions.end() || found->second.peerNode != fromNode) return;
    auto ended = takeSession(found);
    const Session& session = ended.mapped();
    uint64_t local = session.hostConnection != 0 ? session.hostConnection : session.controllerConnection;
    if (tell) send(local, endMessage(sessionId, "signal_closed"));
}

// The reader on the other node fell too far behind: the local sender is closed.
void SignalHub::overflowFromBus(const std::string& sessionId, const std::string& fromNode) {
    std::lock_guard lock(mutex);
    auto found = sessions.find(sessionId);
    if (found == sessions.end() || found->second.peerNode != fromNode) return;
    const Session& session = found->second;
    closeForPolicy(session.hostConnection != 0 ? session.hostConnection : session.controllerConnection);
}

} // namespace quorlinth::service
