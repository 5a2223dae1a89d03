#include "ServiceSettings.h"

#include <charconv>
#include <utility>

namespace quorlinth::service {

namespace {

struct NamedSetting {
    const char* name;
    int64_t ServiceSettings::*member;
};

constexpr NamedSetting kSettings[] = {
    {"account_token_lifetime", &ServiceSettings::accountTokenLifetime},
    {"password_setup_lifetime", &ServiceSettings::passwordSetupLifetime},
    {"captcha_lifetime", &ServiceSettings::captchaLifetime},
    {"sms_code_lifetime", &ServiceSettings::smsCodeLifetime},
    {"sms_resend_interval", &ServiceSettings::smsResendInterval},
    {"sms_daily_limit", &ServiceSettings::smsDailyLimit},
    {"sms_code_attempts", &ServiceSettings::smsCodeAttempts},
    {"qr_lifetime", &ServiceSettings::qrLifetime},
    {"pairing_lifetime", &ServiceSettings::pairingLifetime},
    {"pairing_max_failures", &ServiceSettings::pairingMaxFailures},
    {"online_window", &ServiceSettings::onlineWindow},
    {"device_limit", &ServiceSettings::deviceLimit},
    {"diagnostics_text_limit", &ServiceSettings::diagnosticsTextLimit},
    {"session_request_limit", &ServiceSettings::sessionRequestLimit},
    {"pending_session_lifetime", &ServiceSettings::pendingSessionLifetime},
    {"hash_threads", &ServiceSettings::hashThreads},
    {"hash_queue", &ServiceSettings::hashQueue},
    {"hash_queue_wait_ms", &ServiceSettings::hashQueueWaitMs},
    {"worker_threads", &ServiceSettings::workerThreads},
    {"worker_queue", &ServiceSettings::workerQueue},
    {"worker_queue_wait_ms", &ServiceSettings::workerQueueWaitMs},
    {"retry_after", &ServiceSettings::retryAfter},
    {"busy_answer_delay_ms", &ServiceSettings::busyAnswerDelayMs},
    {"max_connections", &ServiceSettings::maxConnections},
    {"max_connections_per_address", &ServiceSettings::maxConnectionsPerAddress},
    {"body_bytes_in_flight", &ServiceSettings::bodyBytesInFlight},
    {"login_attempts_per_address", &ServiceSettings::loginAttemptsPerAddress},
    {"login_failures_per_account_address", &ServiceSettings::loginFailuresPerAccountAddress},
    {"login_failures_per_account", &ServiceSettings::loginFailuresPerAccount},
    {"login_failures_per_address", &ServiceSettings::loginFailuresPerAddress},
    {"login_failures_global", &ServiceSettings::loginFailuresGlobal},
    {"login_delay_cap", &ServiceSettings::loginDelayCap},
    {"renewals_per_device", &ServiceSettings::renewalsPerDevice},
    {"account_tokens_per_user", &ServiceSettings::accountTokensPerUser},
    {"device_token_idle_lifetime", &ServiceSettings::deviceTokenIdleLifetime},
    {"signal_frames_per_second", &ServiceSettings::signalFramesPerSecond},
    {"signal_frame_burst", &ServiceSettings::signalFrameBurst},
    {"signal_bytes_per_second", &ServiceSettings::signalBytesPerSecond},
    {"signal_byte_burst", &ServiceSettings::signalByteBurst},
    {"signal_outbox_bytes", &ServiceSettings::signalOutboxBytes},
    {"signal_held_candidates", &ServiceSettings::signalHeldCandidates},
};

// Settings that make no sense at zero (a pool without threads, a zero-sized queue...).
bool mayBeZero(std::string_view name) {
    return name != "hash_threads" && name != "worker_threads" && name != "hash_queue" &&
           name != "worker_queue" && name != "max_connections" && name != "max_connections_per_address";
}

} // namespace

Result<void> applySetting(ServiceSettings& settings, std::string_view assignment) {
    size_t equals = assignment.find('=');
    if (equals == std::string_view::npos) return Error{"--set takes NAME=VALUE"};
    std::string_view name = assignment.substr(0, equals);
    std::string_view text = assignment.substr(equals + 1);
    int64_t value = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0 ||
        (value == 0 && !mayBeZero(name)))
        return Error{"invalid value for " + std::string(name) + ": " + std::string(text)};
    for (const NamedSetting& setting : kSettings) {
        if (name != setting.name) continue;
        settings.*setting.member = value;
        return {};
    }
    return Error{"unknown setting " + std::string(name)};
}

} // namespace quorlinth::service
