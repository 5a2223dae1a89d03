#pragma once

#include <cstdint>
#include <string>

namespace quorlinth::service {

// Lifetimes and limits of the service, in seconds where they are times.
struct ServiceSettings {
    bool development = false;
    int64_t accountTokenLifetime = 24 * 3600;
    int64_t passwordSetupLifetime = 15 * 60;
    int64_t captchaLifetime = 5 * 60;
    int64_t smsCodeLifetime = 5 * 60;
    int64_t smsResendInterval = 60;
    int smsDailyLimit = 10;
    int smsCodeAttempts = 5;
    int64_t qrLifetime = 180;
    int64_t pairingLifetime = 24 * 3600;
    int pairingMaxFailures = 5;
    int64_t onlineWindow = 60; // a heartbeat this recent counts as online
    size_t deviceLimit = 20;
    size_t diagnosticsTextLimit = 256 * 1024;
    int loginFailureLimit = 10;          // per user name per 15 minutes
    int sessionRequestLimit = 20;        // session creations per controller per minute
    int64_t pendingSessionLifetime = 60; // a request the host never answers
};

} // namespace quorlinth::service
