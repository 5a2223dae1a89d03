#include "SessionApi.h"

#include "DisplayText.h"

#include <algorithm>

namespace quorlinth::service::sessions {

namespace {

struct Target {
    int64_t userId = 0;
    std::string id;
    std::string name;
    std::string platform;
    bool mediaReady = false;
};

std::optional<Target> findTarget(ServiceContext& context, const std::string& deviceId) {
    auto row = context.db.queryOne(
        "SELECT user_id, id, name, platform, capture_ready, webrtc FROM devices WHERE id = ?", {deviceId});
    if (!row) return std::nullopt;
    return Target{row->integer(0), row->text(1), row->text(2), row->text(3),
                  row->integer(4) != 0 && row->integer(5) != 0};
}

// The controller must be a device of the signed-in account; its name is what the host's
// user sees in the request.
std::string controllerName(ServiceContext& context, const AccountIdentity& account,
                           const std::string& controllerId) {
    auto row = context.db.queryOne("SELECT name FROM devices WHERE id = ? AND user_id = ?",
                                   {controllerId, account.userId});
    if (!row) fail(403, "forbidden", Json{{"field", "controller_id"}});
    return displayableName(row->text(0)); // names stored before names were cleaned
}

ApiResponse open(ServiceContext& context, const Target& target, const std::string& controllerId,
                 const std::string& name, bool guest) {
    if (target.id == controllerId) fail(400, "same_device");
    if (!context.hub.isConnected(target.id)) fail(409, "device_offline");
    if (!target.mediaReady) fail(409, "media_not_ready");
    int64_t now = context.clock.now();
    SessionOpening opening{target.id,
                           controllerId,
                           name,
                           guest,
                           context.ice.serversFor(target.id, now),
                           context.ice.serversFor(controllerId, now)};
    auto session = context.hub.openSession(opening);
    if (!session) fail(409, session.error());
    return ApiResponse::ok(
        Json{{"session_id", session.value()},
             {"device", Json{{"id", target.id}, {"platform", target.platform}, {"name", target.name}}},
             {"view_only", target.platform == "ios"}});
}

struct Pairing {
    std::string deviceId;
    std::string passwordHash;
    int64_t failures = 0; // including this attempt
    int64_t expiresAt = 0;
};

// Counts the attempt as a failure before the password is checked, in one statement, so that
// concurrent guesses cannot get past the limit; a right password gives it back.
Pairing reservePairingAttempt(ServiceContext& context, const std::string& code, int64_t now) {
    auto row = context.db.queryOne(
        "UPDATE pairings SET failures = failures + 1 WHERE code = ? AND expires_at > ? AND failures < ? "
        "RETURNING device_id, password_hash, failures, expires_at",
        {code, now, context.settings.pairingMaxFailures});
    if (row) return {row->text(0), row->text(1), row->integer(2), row->integer(3)};
    auto existing = context.db.queryOne("SELECT failures, expires_at FROM pairings WHERE code = ?", {code});
    if (existing && existing->integer(1) > now) fail(423, "pairing_locked");
    fail(403, "pairing_invalid");
}

void restorePairing(ServiceContext& context, const std::string& code, const Pairing& pairing) {
    context.db.execute(
        "INSERT INTO pairings (device_id, code, password_hash, failures, expires_at) "
        "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING",
        {pairing.deviceId, code, pairing.passwordHash, pairing.failures - 1, pairing.expiresAt});
}

} // namespace

ApiResponse create(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    Json body = parseBody(request);
    std::string deviceId = requireString(body, "device_id", 128);
    std::string controllerId = requireString(body, "controller_id", 128);
    std::string name = controllerName(context, account, controllerId);
    auto target = findTarget(context, deviceId);
    if (!target || target->userId != account.userId) fail(404, "device_not_found");
    if (deviceId == controllerId) fail(400, "same_device");
    if (!context.sessionRequests.allow(controllerId, context.clock.now())) fail(429, "rate_limited");
    return open(context, *target, controllerId, name, false);
}

ApiResponse createGuest(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    Json body = parseBody(request);
    std::string code = requireString(body, "code", 32);
    std::string password = requireString(body, "password", 128);
    std::string controllerId = requireString(body, "controller_id", 128);
    std::string name = controllerName(context, account, controllerId);
    int64_t now = context.clock.now();
    if (!context.guestAttempts.allow(controllerId, now) ||
        !context.guestAttempts.allow("account:" + std::to_string(account.userId), now))
        fail(429, "rate_limited");
    code.erase(std::remove(code.begin(), code.end(), ' '), code.end());
    Pairing pairing = reservePairingAttempt(context, code, now);
    if (!context.hasher.verify(password, pairing.passwordHash)) {
        if (pairing.failures >= context.settings.pairingMaxFailures) fail(423, "pairing_locked");
        fail(403, "pairing_invalid");
    }
    // The password opens one session: whoever gets here first takes it.
    auto taken = context.db.queryOne("DELETE FROM pairings WHERE code = ? RETURNING device_id", {code});
    if (!taken) fail(403, "pairing_invalid");
    auto target = findTarget(context, pairing.deviceId);
    if (!target) fail(403, "pairing_invalid");
    try {
        return open(context, *target, controllerId, name, true);
    } catch (const ApiFailure&) {
        // No session came of it (host offline, busy…): the guest may try again with it.
        restorePairing(context, code, pairing);
        throw;
    }
}

} // namespace quorlinth::service::sessions
