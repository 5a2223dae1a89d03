#pragma once

#include "ApiTypes.h"
#include "Database.h"
#include "ServiceClock.h"
#include "ServiceSettings.h"

#include <optional>
#include <string>

namespace quorlinth::service {

struct AccountIdentity {
    int64_t userId = 0;
    std::string tokenDigest;
};

struct DeviceIdentity {
    int64_t userId = 0;
    std::string deviceId;
};

struct IssuedToken {
    std::string token;
    int64_t expiresAt = 0;
};

// Issues and checks bearer tokens. Only SHA-256 digests are stored, so a copy of the
// database does not let anyone sign in.
//   account: signs requests of a signed-in user, expires after accountTokenLifetime;
//   setup:   the short-lived token of an SMS sign-in that still has to set a password;
//   device:  one per bound device, lives until the device is unbound or bound again, or until it
//            has not been used for deviceTokenIdleLifetime.
class TokenService {
public:
    TokenService(Database& database, const ServiceClock& clock, const ServiceSettings& settings)
        : db(database), clock(clock), settings(settings) {}

    IssuedToken issueAccount(int64_t userId);
    IssuedToken issueSetup(int64_t userId);
    // Replaces any earlier token of the device.
    std::string issueDevice(int64_t userId, const std::string& deviceId);

    // 401 "unauthorized" unless the request carries a live account token.
    AccountIdentity requireAccount(const ApiRequest& request);
    // 401 "unauthorized_device" unless it carries a device token; 403 "forbidden" when that
    // token belongs to another device than `deviceId`.
    DeviceIdentity requireDevice(const ApiRequest& request, const std::string& deviceId);
    std::optional<DeviceIdentity> findDevice(const std::string& bearer);
    // A live setup token, for the password-setup endpoint.
    std::optional<AccountIdentity> findSetup(const std::string& bearer);
    // Turns a setup token into an ordinary account token with a fresh lifetime.
    int64_t promoteSetup(const std::string& tokenDigest);
    void revoke(const std::string& tokenDigest);
    // Every token of the user, device tokens included: "sign out everywhere".
    void revokeAll(int64_t userId);
    void purgeExpired();

    // The token of an "Authorization: Bearer …" header, or empty.
    static std::string bearerToken(const std::string& authorization);

private:
    IssuedToken issue(const char* kind, int64_t userId, int64_t lifetime);

    Database& db;
    const ServiceClock& clock;
    const ServiceSettings& settings;
};

} // namespace quorlinth::service
