#include "AuthApi.h"

#include "Captcha.h"
#include "DisplayText.h"
#include "Secrets.h"

#include <algorithm>

namespace quorlinth::service::auth {

namespace {

constexpr size_t kMaxPasswordBytes = 1024;
constexpr size_t kMinSetupPasswordBytes = 12;
constexpr size_t kMaxSetupPasswordBytes = 72;
constexpr std::string_view kIdAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

bool isMainlandPhone(const std::string& phone) {
    return phone.size() == 11 && phone[0] == '1' &&
           std::all_of(phone.begin(), phone.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isValidUsername(const std::string& name) {
    return !name.empty() && name.size() <= 64 && isDisplayable(name) && name.front() != ' ' &&
           name.back() != ' ';
}

std::string usernameOf(ServiceContext& context, int64_t userId) {
    auto row = context.db.queryOne("SELECT username FROM users WHERE id = ?", {userId});
    return row ? row->text(0) : std::string();
}

// The answer of every successful sign-in.
Json signedIn(ServiceContext& context, int64_t userId) {
    IssuedToken token = context.tokens.issueAccount(userId);
    return Json{{"access_token", token.token},
                {"token_type", "Bearer"},
                {"expires_at", token.expiresAt},
                {"account", Json{{"username", usernameOf(context, userId)}}}};
}

// Checks and consumes a picture captcha: each one answers a single attempt.
bool takeCaptcha(ServiceContext& context, const std::string& id, const std::string& answer) {
    auto row = context.db.queryOne("SELECT answer, expires_at FROM captchas WHERE id = ?", {id});
    if (!row) return false;
    context.db.execute("DELETE FROM captchas WHERE id = ?", {id});
    return row->integer(1) > context.clock.now() && constantTimeEqual(row->text(0), answer);
}

// A free user name for an account that signs up with its phone number.
std::string freeUsernameFor(ServiceContext& context, const std::string& phone) {
    std::string name = phone;
    while (context.db.queryOne("SELECT 1 FROM users WHERE username = ?", {name}))
        name = phone + "-" + randomText(4, kIdAlphabet);
    return name;
}

int64_t userForPhone(ServiceContext& context, const std::string& phone) {
    return context.db.transaction([&] {
        if (auto row = context.db.queryOne("SELECT id FROM users WHERE phone = ?", {phone}))
            return row->integer(0);
        auto created = context.db.queryOne(
            "INSERT INTO users (username, phone, created_at) VALUES (?, ?, ?) RETURNING id",
            {freeUsernameFor(context, phone), phone, context.clock.now()});
        return created->integer(0);
    });
}

// Verifies an SMS code; a code survives a few wrong guesses and is used up by the right one.
void takeSmsCode(ServiceContext& context, const std::string& phone, const std::string& code) {
    int64_t now = context.clock.now();
    auto row = context.db.queryOne("SELECT code_digest, expires_at, attempts FROM sms_codes WHERE phone = ?",
                                   {phone});
    if (!row || row->integer(1) <= now || row->integer(2) >= context.settings.smsCodeAttempts) {
        if (row) context.db.execute("DELETE FROM sms_codes WHERE phone = ?", {phone});
        fail(400, "code_expired");
    }
    if (!constantTimeEqual(row->text(0), keyedDigest(context.serverKey, phone + "|" + code))) {
        context.db.execute("UPDATE sms_codes SET attempts = attempts + 1 WHERE phone = ?", {phone});
        fail(400, "code_invalid");
    }
    context.db.execute("DELETE FROM sms_codes WHERE phone = ?", {phone});
}

// Seconds until the phone may receive another code, or 0.
int64_t smsWait(ServiceContext& context, const std::string& phone, int64_t now) {
    const ServiceSettings& settings = context.settings;
    int64_t wait = 0;
    if (auto last = context.db.queryOne("SELECT sent_at FROM sms_codes WHERE phone = ?", {phone}))
        wait = std::max<int64_t>(wait, last->integer(0) + settings.smsResendInterval - now);
    auto sent =
        context.db.query("SELECT sent_at FROM sms_sends WHERE phone = ? AND sent_at > ? ORDER BY sent_at",
                         {phone, now - 86400});
    if (sent.size() >= size_t(settings.smsDailyLimit)) {
        size_t oldestCounted = sent.size() - size_t(settings.smsDailyLimit);
        wait = std::max<int64_t>(wait, sent[oldestCounted].integer(0) + 86400 - now);
    }
    return wait;
}

} // namespace

ApiResponse login(ServiceContext& context, const ApiRequest& request) {
    Json body = parseBody(request);
    std::string username = requireString(body, "username", 256);
    std::string password = requireString(body, "password", kMaxPasswordBytes);
    int64_t now = context.clock.now();
    auto row = context.db.queryOne("SELECT id, password_hash FROM users WHERE username = ? OR phone = ? "
                                   "ORDER BY username = ? DESC LIMIT 1",
                                   {username, username, username});
    // A name and a phone number of one account share its counters.
    LoginGuard::Attempt attempt{row ? "id:" + std::to_string(row->integer(0)) : "name:" + username,
                                request.peerAddress};
    context.logins.reserve(attempt, now);
    PasswordHasher::Check check;
    if (row && !row->isNull(1))
        check = context.hasher.check(password, row->text(1));
    else
        context.hasher.spendVerificationTime(password);
    if (!check.valid) fail(401, "invalid_credentials");
    context.logins.succeeded(attempt);
    // An older scheme or cost is replaced while the password is at hand.
    if (check.needsRehash)
        context.db.execute("UPDATE users SET password_hash = ? WHERE id = ? AND password_hash = ?",
                           {context.hasher.hash(password), row->integer(0), row->text(1)});
    return ApiResponse::ok(signedIn(context, row->integer(0)));
}

ApiResponse captcha(ServiceContext& context, const ApiRequest& request) {
    parseBody(request);
    int64_t now = context.clock.now();
    if (!context.captchas.allow("captcha:" + request.peerAddress, now)) fail(429, "rate_limited");
    Captcha picture = makeCaptcha();
    if (picture.png.empty()) fail(500, "internal_error");
    std::string id = "c_" + randomText(22, kIdAlphabet);
    context.db.execute("INSERT INTO captchas (id, answer, expires_at) VALUES (?, ?, ?)",
                       {id, picture.answer, now + context.settings.captchaLifetime});
    return ApiResponse::ok(Json{{"captcha_id", id},
                                {"image", "data:image/png;base64," + base64Encode(picture.png)},
                                {"expires_in", context.settings.captchaLifetime}});
}

ApiResponse smsCode(ServiceContext& context, const ApiRequest& request) {
    // No carrier is wired in: outside development mode a code could not reach anyone, and
    // answering success would leave the user waiting for a message that never comes.
    if (!context.outbox.isEnabled()) fail(503, "sms_unavailable");
    Json body = parseBody(request);
    std::string phone = requireString(body, "phone", 32);
    std::string purpose = requireString(body, "purpose", 32);
    std::string captchaId = requireString(body, "captcha_id", 64);
    std::string answer = requireString(body, "captcha_answer", 32);
    if (purpose != "login") fail(400, "invalid_request", Json{{"field", "purpose"}});
    if (!isMainlandPhone(phone)) fail(400, "invalid_phone");
    if (!takeCaptcha(context, captchaId, answer)) fail(400, "captcha_invalid");
    int64_t now = context.clock.now();
    if (int64_t wait = smsWait(context, phone, now); wait > 0)
        fail(429, "sms_too_frequent", Json{{"resend_after", wait}});
    std::string code = randomDigits(6);
    context.db.transaction([&] {
        context.db.execute("INSERT INTO sms_codes (phone, code_digest, sent_at, expires_at, attempts) VALUES "
                           "(?, ?, ?, ?, 0) "
                           "ON CONFLICT (phone) DO UPDATE SET code_digest = excluded.code_digest, sent_at = "
                           "excluded.sent_at, "
                           "expires_at = excluded.expires_at, attempts = 0",
                           {phone, keyedDigest(context.serverKey, phone + "|" + code), now,
                            now + context.settings.smsCodeLifetime});
        context.db.execute("INSERT INTO sms_sends (phone, sent_at) VALUES (?, ?)", {phone, now});
    });
    context.outbox.deliver(phone,
                           "验证码 " + code + "，" + std::to_string(context.settings.smsCodeLifetime / 60) +
                               " 分钟内有效。",
                           now);
    return ApiResponse::ok(Json{{"resend_after", context.settings.smsResendInterval},
                                {"expires_in", context.settings.smsCodeLifetime}});
}

ApiResponse smsLogin(ServiceContext& context, const ApiRequest& request) {
    Json body = parseBody(request);
    std::string phone = requireString(body, "phone", 32);
    std::string code = requireString(body, "code", 32);
    bool requirePasswordSetup = optionalBool(body, "require_password_setup", false);
    if (!isMainlandPhone(phone)) fail(400, "invalid_phone");
    takeSmsCode(context, phone, code);
    int64_t userId = userForPhone(context, phone);
    auto row = context.db.queryOne("SELECT password_hash IS NOT NULL FROM users WHERE id = ?", {userId});
    bool hasPassword = row && row->integer(0) != 0;
    if (hasPassword || !requirePasswordSetup) {
        Json answer = signedIn(context, userId);
        answer["needs_password_setup"] = false;
        return ApiResponse::ok(std::move(answer));
    }
    IssuedToken setup = context.tokens.issueSetup(userId);
    return ApiResponse::ok(Json{{"needs_password_setup", true},
                                {"access_token", setup.token},
                                {"token_type", "Bearer"},
                                {"expires_at", setup.expiresAt},
                                {"account", Json{{"username", usernameOf(context, userId)}}}});
}

ApiResponse passwordSetup(ServiceContext& context, const ApiRequest& request) {
    auto setup = context.tokens.findSetup(TokenService::bearerToken(request.authorization));
    if (!setup) fail(401, "password_setup_expired");
    Json body = parseBody(request);
    std::string password = requireString(body, "new_password", kMaxPasswordBytes);
    auto existing =
        context.db.queryOne("SELECT password_hash IS NOT NULL FROM users WHERE id = ?", {setup->userId});
    if (!existing || existing->integer(0) != 0) fail(409, "password_already_set");
    if (password.size() < kMinSetupPasswordBytes || password.size() > kMaxSetupPasswordBytes)
        fail(400, "invalid_password");
    std::string hash = context.hasher.hash(password);
    int64_t changed = context.db.execute(
        "UPDATE users SET password_hash = ? WHERE id = ? AND password_hash IS NULL", {hash, setup->userId});
    if (changed == 0) fail(409, "password_already_set");
    return ApiResponse::ok(Json{{"expires_at", context.tokens.promoteSetup(setup->tokenDigest)}});
}

ApiResponse qrCreate(ServiceContext& context, const ApiRequest& request) {
    Json body = parseBody(request);
    std::string name = displayableName(requireString(body, "name", 128));
    if (name.empty()) fail(400, "invalid_request", Json{{"field", "name"}});
    int64_t now = context.clock.now();
    if (!context.captchas.allow("qr:" + request.peerAddress, now)) fail(429, "rate_limited");
    std::string id = "qr_" + randomText(22, kIdAlphabet);
    std::string secret = newToken("qp_");
    context.db.execute(
        "INSERT INTO qr_logins (id, secret_digest, name, status, expires_at) VALUES (?, ?, ?, 'pending', ?)",
        {id, secretDigest(secret), name, now + context.settings.qrLifetime});
    return ApiResponse::ok(Json{{"id", id},
                                {"poll_secret", secret},
                                {"qr", "quorlinth://qr-login?id=" + id},
                                {"expires_in", context.settings.qrLifetime}});
}

ApiResponse qrPoll(ServiceContext& context, const ApiRequest& request) {
    Json body = parseBody(request);
    std::string id = requireString(body, "id", 64);
    std::string secret = requireString(body, "secret", 256);
    int64_t now = context.clock.now();
    auto row = context.db.queryOne(
        "SELECT secret_digest, status, user_id, expires_at FROM qr_logins WHERE id = ?", {id});
    if (!row) fail(410, "qr_expired");
    if (!constantTimeEqual(row->text(0), secretDigest(secret))) fail(403, "forbidden");
    std::string status = row->text(1);
    if (status == "used") fail(409, "qr_used");
    if (status == "denied") return ApiResponse::ok(Json{{"status", "denied"}});
    if (status == "approved") {
        // Only one poll may collect the sign-in.
        if (context.db.execute("UPDATE qr_logins SET status = 'used' WHERE id = ? AND status = 'approved'",
                               {id}) == 0)
            fail(409, "qr_used");
        Json answer = signedIn(context, row->integer(2));
        answer["status"] = "approved";
        return ApiResponse::ok(std::move(answer));
    }
    if (row->integer(3) <= now) fail(410, "qr_expired");
    return ApiResponse::ok(Json{{"status", "pending"}, {"expires_in", row->integer(3) - now}});
}

ApiResponse qrApprove(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    Json body = parseBody(request);
    std::string id = requireString(body, "id", 64);
    bool approve = requireBool(body, "approve");
    auto row = context.db.queryOne("SELECT name, expires_at FROM qr_logins WHERE id = ?", {id});
    if (!row || row->integer(1) <= context.clock.now()) fail(410, "qr_expired");
    int64_t changed =
        context.db.execute("UPDATE qr_logins SET status = ?, user_id = ? WHERE id = ? AND status = 'pending'",
                           {std::string(approve ? "approved" : "denied"), account.userId, id});
    if (changed == 0) fail(409, "qr_used");
    return ApiResponse::ok(Json{{"status", approve ? "approved" : "denied"}, {"name", row->text(0)}});
}

ApiResponse logout(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    context.tokens.revoke(account.tokenDigest);
    return ApiResponse::ok();
}

ApiResponse logoutEverywhere(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    context.tokens.revokeAll(account.userId);
    for (const SqlRow& row : context.db.query("SELECT id FROM devices WHERE user_id = ?", {account.userId}))
        context.hub.disconnectDevice(row.text(0));
    return ApiResponse::ok();
}

Result<void> addUser(ServiceContext& context, const std::string& username, const std::string& password,
                     const std::string& phone) {
    if (!isValidUsername(username))
        return Error{"the user name must be 1 to 64 bytes of UTF-8 without control, format or bidirectional "
                     "characters or surrounding spaces"};
    if (password.empty() || password.size() > kMaxPasswordBytes)
        return Error{"the password must be 1 to 1024 bytes"};
    if (!phone.empty() && !isMainlandPhone(phone))
        return Error{"the phone number must be 11 digits starting with 1"};
    std::string hash = context.hasher.hash(password);
    try {
        return context.db.transaction([&]() -> Result<void> {
            if (context.db.queryOne("SELECT 1 FROM users WHERE username = ?", {username}))
                return Error{"the user name is taken"};
            if (!phone.empty() && context.db.queryOne("SELECT 1 FROM users WHERE phone = ?", {phone}))
                return Error{"the phone number belongs to another account"};
            context.db.execute(
                "INSERT INTO users (username, phone, password_hash, created_at) VALUES (?, ?, ?, ?)",
                {username, phone.empty() ? SqlValue(nullptr) : SqlValue(phone), hash, context.clock.now()});
            return {};
        });
    } catch (const DatabaseError& error) {
        return Error{error.what()};
    }
}

} // namespace quorlinth::service::auth
