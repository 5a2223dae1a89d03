#include "TokenService.h"

#include "Secrets.h"

#include <algorithm>
#include <strings.h>

namespace quorlinth::service {

namespace {

constexpr size_t kMaxTokenLength = 256;
// Numbers tokens in issue order; two nodes racing may draw the same number, which only
// leaves their order within one second undecided.
const std::string kNextIssueOrder = "(SELECT COALESCE(MAX(issue_order), 0) + 1 FROM tokens)";

} // namespace

std::string TokenService::bearerToken(const std::string& authorization) {
    constexpr std::string_view kScheme = "Bearer ";
    if (authorization.size() <= kScheme.size() ||
        strncasecmp(authorization.c_str(), kScheme.data(), kScheme.size()) != 0)
        return {};
    std::string token = authorization.substr(kScheme.size());
    while (!token.empty() && token.front() == ' ')
        token.erase(token.begin());
    while (!token.empty() && token.back() == ' ')
        token.pop_back();
    if (token.size() > kMaxTokenLength) return {};
    return token;
}

IssuedToken TokenService::issue(const char* kind, int64_t userId, int64_t lifetime) {
    IssuedToken issued{newToken(std::string("q") + kind[0] + "_"), clock.now() + lifetime};
    db.execute("INSERT INTO tokens (digest, kind, user_id, expires_at, created_at, issue_order) "
               "VALUES (?, ?, ?, ?, ?, " +
                   kNextIssueOrder + ")",
               {secretDigest(issued.token), std::string(kind), userId, issued.expiresAt, clock.now()});
    return issued;
}

IssuedToken TokenService::issueAccount(int64_t userId) {
    IssuedToken issued = issue("account", userId, settings.accountTokenLifetime);
    // A user holds a bounded number of live account tokens: the oldest go first.
    db.execute("DELETE FROM tokens WHERE kind = 'account' AND user_id = ? AND digest NOT IN "
               "(SELECT digest FROM tokens WHERE kind = 'account' AND user_id = ? "
               "ORDER BY created_at DESC, issue_order DESC LIMIT ?)",
               {userId, userId, settings.accountTokensPerUser});
    return issued;
}

IssuedToken TokenService::issueSetup(int64_t userId) {
    return issue("setup", userId, settings.passwordSetupLifetime);
}

std::string TokenService::issueDevice(int64_t userId, const std::string& deviceId) {
    std::string token = newToken("qd_");
    db.transaction([&] {
        db.execute("DELETE FROM tokens WHERE kind = 'device' AND device_id = ?", {deviceId});
        db.execute(
            "INSERT INTO tokens (digest, kind, user_id, device_id, expires_at, created_at, issue_order) "
            "VALUES (?, 'device', ?, ?, ?, ?, " +
                kNextIssueOrder + ")",
            {secretDigest(token), userId, deviceId, clock.now() + settings.deviceTokenIdleLifetime,
             clock.now()});
    });
    return token;
}

AccountIdentity TokenService::requireAccount(const ApiRequest& request) {
    std::string token = bearerToken(request.authorization);
    if (token.empty()) fail(401, "unauthorized");
    std::string digest = secretDigest(token);
    auto row = db.queryOne("SELECT kind, user_id, expires_at FROM tokens WHERE digest = ?", {digest});
    if (!row || row->text(0) == "device" || row->integer(2) <= clock.now()) fail(401, "unauthorized");
    if (row->text(0) == "setup") fail(403, "password_setup_required");
    return {row->integer(1), digest};
}

// A device token expires after a while unused; each use moves its expiry on (written at most
// once per refresh step, so that heartbeats do not write on every call).
std::optional<DeviceIdentity> TokenService::findDevice(const std::string& bearer) {
    if (bearer.empty()) return std::nullopt;
    std::string digest = secretDigest(bearer);
    int64_t now = clock.now();
    auto row =
        db.queryOne("SELECT user_id, device_id, expires_at FROM tokens WHERE digest = ? AND kind = 'device' "
                    "AND (expires_at IS NULL OR expires_at > ?)",
                    {digest, now});
    if (!row) return std::nullopt;
    int64_t lifetime = settings.deviceTokenIdleLifetime;
    int64_t step = std::min<int64_t>(86400, lifetime / 10);
    if (row->isNull(2) || row->integer(2) - now < lifetime - step)
        db.execute("UPDATE tokens SET expires_at = ? WHERE digest = ?", {now + lifetime, digest});
    return DeviceIdentity{row->integer(0), row->text(1)};
}

DeviceIdentity TokenService::requireDevice(const ApiRequest& request, const std::string& deviceId) {
    auto device = findDevice(bearerToken(request.authorization));
    if (!device) fail(401, "unauthorized_device");
    if (device->deviceId != deviceId) fail(403, "forbidden");
    return *device;
}

std::optional<AccountIdentity> TokenService::findSetup(const std::string& bearer) {
    if (bearer.empty()) return std::nullopt;
    std::string digest = secretDigest(bearer);
    auto row =
        db.queryOne("SELECT user_id FROM tokens WHERE digest = ? AND kind = 'setup' AND expires_at > ?",
                    {digest, clock.now()});
    if (!row) return std::nullopt;
    return AccountIdentity{row->integer(0), digest};
}

int64_t TokenService::promoteSetup(const std::string& tokenDigest) {
    int64_t expiresAt = clock.now() + settings.accountTokenLifetime;
    db.execute("UPDATE tokens SET kind = 'account', expires_at = ? WHERE digest = ? AND kind = 'setup'",
               {expiresAt, tokenDigest});
    return expiresAt;
}

void TokenService::revoke(const std::string& tokenDigest) {
    db.execute("DELETE FROM tokens WHERE digest = ?", {tokenDigest});
}

void TokenService::revokeAll(int64_t userId) {
    db.execute("DELETE FROM tokens WHERE user_id = ?", {userId});
}

void TokenService::purgeExpired() {
    db.execute("DELETE FROM tokens WHERE expires_at IS NOT NULL AND expires_at <= ?", {clock.now()});
}

} // namespace quorlinth::service
