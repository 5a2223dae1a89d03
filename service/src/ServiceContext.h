#pragma once

#include "Database.h"
#include "DevOutbox.h"
#include "IceConfig.h"
#include "LoginGuard.h"
#include "PasswordHasher.h"
#include "RateLimiter.h"
#include "ServiceClock.h"
#include "ServiceSettings.h"
#include "SignalHub.h"
#include "TokenService.h"

namespace quorlinth::service {

// Everything an endpoint handler needs; created once by the server and shared by its
// worker threads (each member guards its own state).
struct ServiceContext {
    ServiceContext(Database& database, ServiceSettings settingsIn, IceConfig iceIn,
                   std::string serverKeyIn = {})
        : db(database), settings(settingsIn), serverKey(std::move(serverKeyIn)),
          hasher(settings.development ? PasswordHasher::kDevelopmentCost : PasswordHasher::kProductionCost),
          tokens(database, clock, settings), hub(clock, settings), ice(std::move(iceIn)),
          outbox(settings.development), logins(settings, sharedCounters(database)),
          sessionRequests(size_t(settings.sessionRequestLimit), 60, sharedCounters(database),
                          "session_requests"),
          guestAttempts(10, 60, sharedCounters(database), "guest_attempts"),
          captchas(30, 60, sharedCounters(database), "captchas"),
          diagnostics(10, 3600, sharedCounters(database), "diagnostics"),
          renewals(size_t(settings.renewalsPerDevice), 3600, sharedCounters(database), "renewals") {}

    // Nodes sharing a database count their limits there; a single process counts in memory.
    static Database* sharedCounters(Database& database) { return database.shared() ? &database : nullptr; }

    Database& db;
    const ServiceSettings settings;
    const std::string serverKey; // kept outside the database: SMS codes are stored keyed with it
    ServiceClock clock;
    const PasswordHasher hasher;
    TokenService tokens;
    SignalHub hub;
    const IceConfig ice;
    DevOutbox outbox;
    LoginGuard logins;
    RateLimiter sessionRequests; // per controller device
    RateLimiter guestAttempts;   // per controller device
    RateLimiter captchas;        // per client address
    RateLimiter diagnostics;     // per account
    RateLimiter renewals;        // account tokens minted per device
};

} // namespace quorlinth::service
