#pragma once

#include "base/Result.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quorlinth::service {

// Lifetimes and limits of the service, in seconds where they are times. Each one can be set
// on the command line with `--set NAME=VALUE`, NAME in snake case (account_token_lifetime).
struct ServiceSettings {
    bool development = false;
    std::string busUrl; // --bus redis://...: signaling crosses nodes; empty: a single process
    int64_t accountTokenLifetime = 24 * 3600;
    int64_t passwordSetupLifetime = 15 * 60;
    int64_t captchaLifetime = 5 * 60;
    int64_t smsCodeLifetime = 5 * 60;
    int64_t smsResendInterval = 60;
    int64_t smsDailyLimit = 10;
    int64_t smsCodeAttempts = 5;
    int64_t qrLifetime = 180;
    int64_t pairingLifetime = 24 * 3600;
    int64_t pairingMaxFailures = 5;
    int64_t onlineWindow = 60; // a heartbeat this recent counts as online
    int64_t deviceLimit = 20;
    int64_t diagnosticsTextLimit = 256 * 1024;
    int64_t sessionRequestLimit = 20;    // session creations per controller per minute
    int64_t pendingSessionLifetime = 60; // a request the host never answers

    // Password hashing runs on its own bounded pool; a full queue answers 503.
    int64_t hashThreads = 2;
    int64_t hashQueue = 16;
    int64_t hashQueueWaitMs = 3000; // queued longer than this: answered 503 without hashing
    // Every other endpoint that touches the database.
    int64_t workerThreads = 4;
    int64_t workerQueue = 1024;
    int64_t workerQueueWaitMs = 10000;
    int64_t retryAfter = 2; // seconds, in the Retry-After header of a 503
    // A request refused because its pool's queue is full is answered this much later, so that
    // a client retrying at once holds a connection instead of taking CPU time.
    int64_t busyAnswerDelayMs = 1000;

    // Connections, including signaling sockets.
    int64_t maxConnections = 20000;
    int64_t maxConnectionsPerAddress = 256;
    int64_t bodyBytesInFlight = 64 * 1024 * 1024;

    // Password sign-in. Failures count per account id (user name and phone alike).
    int64_t loginAttemptsPerAddress = 60;        // attempts per address per minute
    int64_t loginFailuresPerAccountAddress = 10; // per account and address per 15 minutes
    int64_t loginFailuresPerAccount = 20; // per account from anywhere per 15 minutes, then growing delays
    int64_t loginFailuresPerAddress = 50; // per address across accounts per 15 minutes
    int64_t loginFailuresGlobal = 1000;   // across everyone per minute
    int64_t loginDelayCap = 60;           // the longest growing delay, seconds

    // Tokens.
    int64_t renewalsPerDevice = 30;               // account tokens a device may mint per hour
    int64_t accountTokensPerUser = 50;            // live ones; the oldest goes first
    int64_t deviceTokenIdleLifetime = 90 * 86400; // unused this long, a device token expires

    // Signaling: per socket, inbound.
    int64_t signalFramesPerSecond = 50;
    int64_t signalFrameBurst = 200;
    int64_t signalBytesPerSecond = 256 * 1024;
    int64_t signalByteBurst = 1024 * 1024;
    int64_t signalOutboxBytes = 1024 * 1024; // queued for a slow reader before its sender is closed
    int64_t signalHeldCandidates = 32;       // a controller's candidates held until the host accepts
};

// Applies "NAME=VALUE" (a setting's name in snake case, a non-negative integer).
Result<void> applySetting(ServiceSettings& settings, std::string_view assignment);

} // namespace quorlinth::service
