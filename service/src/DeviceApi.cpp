#include "DeviceApi.h"

#include "DisplayText.h"
#include "Secrets.h"
#include "base/Uuid.h"

#include <algorithm>

namespace quorlinth::service::devices {

namespace {

constexpr const char* kDeviceColumns =
    "id, name, platform, kind, last_heartbeat, capture_ready, input_ready, webrtc FROM devices";

Json recordOf(ServiceContext& context, const SqlRow& row) {
    std::string id = row.text(0);
    int64_t now = context.clock.now();
    bool heard = !row.isNull(4) && now - row.integer(4) < context.settings.onlineWindow;
    bool online = heard || context.hub.isConnected(id);
    Json capabilities{{"capture_ready", online && row.integer(5) != 0},
                      {"input_ready", online && row.integer(6) != 0},
                      {"webrtc", online && row.integer(7) != 0}};
    return Json{{"id", id},
                {"name", row.text(1)},
                {"platform", row.text(2)},
                {"kind", row.text(3)},
                {"online", online},
                {"capabilities", std::move(capabilities)},
                {"listed", true},
                {"last_seen", row.isNull(4) ? Json(nullptr) : Json(row.integer(4))}};
}

// Platforms whose clients this service knows how to list and connect.
bool isSupportedPlatform(const std::string& platform) {
    for (const char* known : {"macos", "ios", "android", "windows", "linux"})
        if (platform == known) return true;
    return false;
}

bool isLowerHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

Json deviceRecord(ServiceContext& context, const std::string& deviceId) {
    auto row = context.db.queryOne(std::string("SELECT ") + kDeviceColumns + " WHERE id = ?", {deviceId});
    return row ? recordOf(context, *row) : Json(nullptr);
}

ApiResponse bind(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    Json body = parseBody(request);
    std::string installation = requireString(body, "installation_id", 128);
    std::string name = displayableName(requireString(body, "name", 128));
    std::string platform = requireString(body, "platform", 32);
    std::string kind = optionalString(body, "kind", "computer", 32);
    std::string version = optionalString(body, "version", "", 32);
    optionalBool(body, "multi_account", true);
    if (installation.empty()) fail(400, "invalid_request", Json{{"field", "installation_id"}});
    if (name.empty()) fail(400, "invalid_request", Json{{"field", "name"}});
    if (!isSupportedPlatform(platform)) fail(400, "invalid_device", Json{{"field", "platform"}});
    int64_t now = context.clock.now();
    std::string deviceId = context.db.transaction([&] {
        auto existing =
            context.db.queryOne("SELECT id FROM devices WHERE user_id = ? AND installation_id = ?",
                                {account.userId, installation});
        if (existing) {
            context.db.execute(
                "UPDATE devices SET name = ?, platform = ?, kind = ?, version = ? WHERE id = ?",
                {name, platform, kind, version, existing->text(0)});
            return existing->text(0);
        }
        auto count = context.db.queryOne("SELECT COUNT(*) FROM devices WHERE user_id = ?", {account.userId});
        if (count && size_t(count->integer(0)) >= context.settings.deviceLimit) fail(403, "device_limit");
        std::string id = uuidV4(LetterCase::lower);
        context.db.execute(
            "INSERT INTO devices (id, user_id, installation_id, name, platform, kind, version, "
            "created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            {id, account.userId, installation, name, platform, kind, version, now});
        return id;
    });
    std::string token = context.tokens.issueDevice(account.userId, deviceId);
    context.hub.disconnectDevice(deviceId); // its socket signed in with the token just replaced
    return ApiResponse::ok(Json{{"device", deviceRecord(context, deviceId)}, {"device_token", token}});
}

ApiResponse list(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    Json devices = Json::array();
    for (const SqlRow& row : context.db.query(std::string("SELECT ") + kDeviceColumns +
                                                  " WHERE user_id = ? ORDER BY created_at, id",
                                              {account.userId}))
        devices.push_back(recordOf(context, row));
    return ApiResponse::ok(Json{{"devices", std::move(devices)}});
}

ApiResponse renew(ServiceContext& context, const ApiRequest& request, const std::string& deviceId) {
    DeviceIdentity device = context.tokens.requireDevice(request, deviceId);
    if (!context.renewals.allow(deviceId, context.clock.now())) fail(429, "rate_limited");
    IssuedToken token = context.tokens.issueAccount(device.userId);
    return ApiResponse::ok(
        Json{{"access_token", token.token}, {"token_type", "Bearer"}, {"expires_at", token.expiresAt}});
}

ApiResponse heartbeat(ServiceContext& context, const ApiRequest& request, const std::string& deviceId) {
    context.tokens.requireDevice(request, deviceId);
    Json body = parseBody(request);
    bool capture = optionalBool(body, "capture_ready", false);
    bool input = optionalBool(body, "input_ready", false);
    bool webrtc = optionalBool(body, "webrtc", false);
    context.db.execute(
        "UPDATE devices SET last_heartbeat = ?, capture_ready = ?, input_ready = ?, webrtc = ? WHERE id = ?",
        {context.clock.now(), int64_t(capture), int64_t(input), int64_t(webrtc), deviceId});
    return ApiResponse::ok(Json{{"online_window", context.settings.onlineWindow}});
}

ApiResponse remove(ServiceContext& context, const ApiRequest& request, const std::string& deviceId) {
    AccountIdentity account = context.tokens.requireAccount(request);
    // Foreign keys remove the device's token and device code with it.
    if (context.db.execute("DELETE FROM devices WHERE id = ? AND user_id = ?", {deviceId, account.userId}) ==
        0)
        fail(404, "device_not_found");
    context.hub.disconnectDevice(deviceId);
    return ApiResponse::ok();
}

ApiResponse putPairing(ServiceContext& context, const ApiRequest& request, const std::string& deviceId) {
    context.tokens.requireDevice(request, deviceId);
    Json body = parseBody(request);
    std::string password = requireString(body, "password", 128);
    if (password.size() < 8 || password.size() % 2 != 0 || !isLowerHex(password))
        fail(400, "invalid_password");
    std::string hash = context.hasher.hash(password);
    int64_t expiresAt = context.clock.now() + context.settings.pairingLifetime;
    std::string code = context.db.transaction([&] {
        context.db.execute("DELETE FROM pairings WHERE device_id = ?", {deviceId});
        std::string candidate;
        do {
            candidate = randomDigits(9, true);
        } while (context.db.queryOne("SELECT 1 FROM pairings WHERE code = ?", {candidate}));
        context.db.execute("INSERT INTO pairings (device_id, code, password_hash, failures, expires_at) "
                           "VALUES (?, ?, ?, 0, ?)",
                           {deviceId, candidate, hash, expiresAt});
        return candidate;
    });
    return ApiResponse::ok(Json{{"code", code}, {"expires_at", expiresAt}});
}

ApiResponse deletePairing(ServiceContext& context, const ApiRequest& request, const std::string& deviceId) {
    context.tokens.requireDevice(request, deviceId);
    context.db.execute("DELETE FROM pairings WHERE device_id = ?", {deviceId});
    return ApiResponse::ok();
}

} // namespace quorlinth::service::devices
