#include "SignalHub.h"

#include "Secrets.h"

namespace quorlinth::service {

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
    send(connection, Json{{"type", "ready"}});
    return connection;
}

void SignalHub::detach(uint64_t connection) {
    std::lock_guard lock(mutex);
    auto found = connections.find(connection);
    if (found == connections.end()) return;
    endSessionsOf(connection);
    auto byDevice = connectionByDevice.find(found->second.deviceId);
    if (byDevice != connectionByDevice.end() && byDevice->second == connection)
        connectionByDevice.erase(byDevice);
    connections.erase(found);
}

bool SignalHub::isConnected(const std::string& deviceId) {
    std::lock_guard lock(mutex);
    return connectionByDevice.count(deviceId) > 0;
}

bool SignalHub::isHosting(const std::string& deviceId) {
    std::lock_guard lock(mutex);
    for (const auto& [id, session] : sessions)
        if (session.hostDeviceId == deviceId) return true;
    return false;
}

void SignalHub::disconnectDevice(const std::string& deviceId) {
    std::lock_guard lock(mutex);
    auto byDevice = connectionByDevice.find(deviceId);
    if (byDevice == connectionByDevice.end()) return;
    uint64_t connection = byDevice->second;
    endSessionsOf(connection);
    connections.at(connection).peer->close();
    connections.erase(connection);
    connectionByDevice.erase(byDevice);
}

Result<std::string> SignalHub::openSession(const SessionOpening& opening) {
    std::lock_guard lock(mutex);
    auto host = connectionByDevice.find(opening.hostDeviceId);
    if (host == connectionByDevice.end()) return Error{"device_offline"};
    auto controller = connectionByDevice.find(opening.controllerDeviceId);
    if (controller == connectionByDevice.end()) return Error{"controller_not_ready"};
    for (const auto& [id, session] : sessions)
        if (session.hostDeviceId == opening.hostDeviceId) return Error{"device_busy"};
    std::string sessionId = "s_" + randomText(24, "abcdefghijklmnopqrstuvwxyz0123456789");
    sessions[sessionId] = {opening.hostDeviceId,        host->second, controller->second, false, clock.now(),
                           opening.controllerIceServers};
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
        if (session.accepted || now - session.createdAt < settings.pendingSessionLifetime) {
            ++it;
            continue;
        }
        send(session.hostConnection, Json{{"type", "end"}, {"session_id", it->first}, {"reason", "timeout"}});
        send(session.controllerConnection,
             Json{{"type", "end"}, {"session_id", it->first}, {"reason", "timeout"}});
        it = sessions.erase(it);
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
    if (found == sessions.end()) return;
    Session& session = found->second;
    if (connection == session.hostConnection)
        relayFromHost(*sessionId, session, *type, *message);
    else if (connection == session.controllerConnection)
        relayFromController(*sessionId, session, *type, *message);
}

void SignalHub::relayFromHost(const std::string& sessionId, Session& session, const std::string& type,
                              const Json& message) {
    uint64_t controller = session.controllerConnection;
    if (type == "accept") {
        if (session.accepted) return;
        session.accepted = true;
        send(controller, Json{{"type", "accepted"},
                              {"session_id", sessionId},
                              {"ice_servers", session.controllerIceServers}});
        for (const Json& held : session.heldForHost)
            relay(controller, session.hostConnection, held);
        session.heldForHost.clear();
    } else if (type == "reject" || type == "end") {
        std::string reason = type == "reject" ? "rejected" : "host_ended";
        sessions.erase(sessionId);
        send(controller, Json{{"type", "end"}, {"session_id", sessionId}, {"reason", reason}});
    } else if ((type == "answer" || type == "ice") && session.accepted) {
        if (auto out = relayed(type, sessionId, message)) relay(session.hostConnection, controller, *out);
    }
}

void SignalHub::relayFromController(const std::string& sessionId, Session& session, const std::string& type,
                                    const Json& message) {
    uint64_t host = session.hostConnection;
    if (type == "end") {
        sessions.erase(sessionId);
        send(host, Json{{"type", "end"}, {"session_id", sessionId}});
    } else if (type == "offer" && session.accepted) {
        if (auto out = relayed(type, sessionId, message)) relay(session.controllerConnection, host, *out);
    } else if (type == "ice") {
        auto out = relayed(type, sessionId, message);
        if (!out) return;
        if (session.accepted)
            relay(session.controllerConnection, host, *out);
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

void SignalHub::relay(uint64_t from, uint64_t to, const Json& message) {
    auto receiver = connections.find(to);
    if (receiver == connections.end() || receiver->second.peer->sendText(dumpJson(message))) return;
    if (auto sender = connections.find(from); sender != connections.end())
        sender->second.peer->closeForPolicy();
}

void SignalHub::endSessionsOf(uint64_t connection) {
    for (auto it = sessions.begin(); it != sessions.end();) {
        const Session& session = it->second;
        if (session.hostConnection != connection && session.controllerConnection != connection) {
            ++it;
            continue;
        }
        uint64_t other =
            session.hostConnection == connection ? session.controllerConnection : session.hostConnection;
        if (other != connection)
            send(other, Json{{"type", "end"}, {"session_id", it->first}, {"reason", "signal_closed"}});
        it = sessions.erase(it);
    }
}

} // namespace quorlinth::service
