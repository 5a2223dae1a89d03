#include "account/MacLoginFlow.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <unistd.h>

namespace quorlinth {

namespace {

constexpr std::string_view kPNGDataPrefix = "data:image/png;base64,";
constexpr std::string_view kQRLoginPrefix = "quorlinth://qr-login?id=";

// Characters as a person counts them in a phone number or a code: code points.
size_t characterCount(std::string_view utf8) {
    size_t count = 0;
    for (unsigned char byte : utf8)
        if ((byte & 0xC0) != 0x80) ++count;
    return count;
}

bool isPNG(const Bytes& bytes) {
    static constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return bytes.size() > sizeof(kSignature) &&
           std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin());
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return {};
    return name;
}

void finish(const MacLoginFlow::Done& done, MacResult<void> result) {
    if (done) done(std::move(result));
}

} // namespace

double DispatcherLoginClock::now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void DispatcherLoginClock::after(double seconds, std::function<void()> task) {
    mainQueue.postAfter(Millis{static_cast<int64_t>(std::ceil(std::max(seconds, 0.0) * 1000))},
                        std::move(task));
}

std::shared_ptr<MacLoginFlow> MacLoginFlow::create(std::shared_ptr<MacAccount> account,
                                                   std::shared_ptr<LoginClock> clock, Options options) {
    return std::make_shared<MacLoginFlow>(std::move(account), std::move(clock), std::move(options));
}

MacLoginFlow::MacLoginFlow(std::shared_ptr<MacAccount> account, std::shared_ptr<LoginClock> clock,
                           Options options)
    : account(std::move(account)), clock(std::move(clock)), options(std::move(options)),
      resendUntil(-std::numeric_limits<double>::infinity()) {}

const char* MacLoginFlow::label(Mode mode) {
    switch (mode) {
    case Mode::password:
        return "账号密码";
    case Mode::sms:
        return "手机号验证码";
    case Mode::qr:
        return "扫码登录";
    }
    return "";
}

void MacLoginFlow::publish() {
    if (onChange) onChange();
}

const std::string& MacLoginFlow::apiBase() const {
    return account->http().config().apiBaseURL;
}

int64_t MacLoginFlow::secondsUntil(double deadline) const {
    double left = std::ceil(deadline - clock->now());
    return left > 0 ? static_cast<int64_t>(left) : 0;
}

// Enablement.

bool MacLoginFlow::canLogin() const {
    return consented && !account->busy() && !username.empty() && !password.empty();
}

bool MacLoginFlow::canSendCode() const {
    return consented && !account->busy() && clock->now() >= resendUntil &&
           characterCount(phone) == kPhoneLength && !captcha.empty() && !captchaAnswer.empty();
}

bool MacLoginFlow::canSmsLogin() const {
    return consented && !account->busy() && characterCount(code) == kCodeLength;
}

bool MacLoginFlow::canChangeCaptcha() const {
    return !account->busy();
}

bool MacLoginFlow::canRefreshQR() const {
    return consented && !account->busy();
}

// Bytes, not characters: four Chinese characters are 12.
bool MacLoginFlow::canSetupPassword() const {
    return !account->busy() && newPassword == confirmPassword && newPassword.size() >= kMinPasswordBytes &&
           newPassword.size() <= kMaxPasswordBytes;
}

bool MacLoginFlow::canLeavePasswordSetup() const {
    return !account->busy();
}

bool MacLoginFlow::canSwitchAccount() const {
    return !account->busy();
}

bool MacLoginFlow::canLogout() const {
    return !account->busy();
}

bool MacLoginFlow::showsAccountMenu() const {
    return account->credentials().has_value() || !account->savedAccounts().empty();
}

std::string MacLoginFlow::sendCodeLabel() const {
    if (clock->now() >= resendUntil) return kSendCodeLabel;
    return std::to_string(secondsUntil(resendUntil)) + " 秒后重发";
}

std::string MacLoginFlow::qrValidityText() const {
    if (qrLeft < 1) return {};
    return std::to_string(qrLeft) + " 秒内有效";
}

// The screen's life.

void MacLoginFlow::shown() {
    if (visible) return;
    visible = true;
    fetchCaptchaIfShown();
    restartQR();
    tick(++tickGeneration);
}

void MacLoginFlow::hidden() {
    visible = false;
    ++tickGeneration;
    ++qrGeneration;
    qrActive = false;
}

// The countdown label follows the clock: the view refreshes once a second while shown.
void MacLoginFlow::tick(uint64_t generation) {
    clock->after(1, [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || self->tickGeneration != generation) return;
        self->publish();
        self->tick(generation);
    });
}

void MacLoginFlow::setMode(Mode mode) {
    if (mode == currentMode) return;
    currentMode = mode;
    publish();
    fetchCaptchaIfShown();
    restartQR();
}

void MacLoginFlow::setConsent(bool on) {
    if (on == consented) return;
    consented = on;
    publish();
    restartQR();
}

// The action runner: one action at a time, `busy` while it runs, its failure as the message.
void MacLoginFlow::run(std::function<void(Done)> action, Done done) {
    if (account->busy()) return finish(done, MacFailure::cancelled());
    account->setMessage("");
    account->setBusy(true);
    action([weak = weak_from_this(), done](MacResult<void> result) {
        auto self = weak.lock();
        if (self) {
            if (!result && !result.failure().isCancelled())
                self->account->setMessage(result.failure().localizedDescription());
            self->account->setBusy(false);
        }
        finish(done, std::move(result));
    });
}

void MacLoginFlow::login(Done done) {
    if (!canLogin()) return finish(done, MacFailure::cancelled());
    run([this, username = username,
         password = password](Done ended) { account->login(username, password, ended); },
        std::move(done));
}

void MacLoginFlow::sendCode(Done done) {
    if (!canSendCode()) return finish(done, MacFailure::cancelled());
    Json body{
        {"phone", phone}, {"purpose", "login"}, {"captcha_id", captcha}, {"captcha_answer", captchaAnswer}};
    run(
        [weak = weak_from_this(), body](Done ended) {
            auto self = weak.lock();
            if (!self) return ended(MacFailure::cancelled());
            self->account->http().request(self->apiBase(), "/v1/auth/sms-code", "POST", "", body,
                                          [weak, ended](MacResult<Json> answer) {
                                              auto self = weak.lock();
                                              if (!self) return ended(MacFailure::cancelled());
                                              // The service takes each captcha for one attempt, right or
                                              // wrong: a new one is ready for the next request.
                                              self->fetchCaptcha({});
                                              if (!answer) return ended(answer.failure());
                                              auto wait = field::int64(answer.value(), "resend_after");
                                              self->resendUntil =
                                                  self->clock->now() +
                                                  (wait ? static_cast<double>(*wait) : kDefaultResendSeconds);
                                              self->account->setMessage(kCodeSent);
                                              self->publish();
                                              ended({});
                                          });
        },
        std::move(done));
}

void MacLoginFlow::smsLogin(Done done) {
    if (!canSmsLogin()) return finish(done, MacFailure::cancelled());
    run([this, phone = phone, code = code](Done ended) { account->smsLogin(phone, code, ended); },
        std::move(done));
}

void MacLoginFlow::setupPassword(Done done) {
    if (!canSetupPassword()) return finish(done, MacFailure::cancelled());
    run([this, chosen = newPassword](Done ended) { account->setupPassword(chosen, ended); }, std::move(done));
}

void MacLoginFlow::leavePasswordSetup() {
    if (!canLeavePasswordSetup()) return;
    account->cancelPasswordSetup();
    newPassword.clear();
    confirmPassword.clear();
    setMode(Mode::password);
    publish();
}

void MacLoginFlow::switchAccount(const std::optional<std::string>& key, Done done) {
    if (!canSwitchAccount()) return finish(done, MacFailure::cancelled());
    run([this, key](Done ended) { account->switchAccount(key, ended); }, std::move(done));
}

void MacLoginFlow::logout(std::function<void()> onLogout) {
    if (!canLogout()) return;
    run([this](Done ended) { account->logout([ended] { ended({}); }); },
        [onLogout](MacResult<void>) {
            if (onLogout) onLogout();
        });
}

// Picture captcha: a task of its own, outside the runner; only the newest request counts.

void MacLoginFlow::changeCaptcha(Done done) {
    if (!canChangeCaptcha()) return finish(done, MacFailure::cancelled());
    fetchCaptcha(std::move(done));
}

void MacLoginFlow::fetchCaptchaIfShown() {
    if (visible && currentMode == Mode::sms && !account->credentials()) fetchCaptcha({});
}

void MacLoginFlow::fetchCaptcha(Done done) {
    uint64_t generation = ++captchaGeneration;
    account->http().request(apiBase(), "/v1/auth/captcha", "POST", "", Json::object(),
                            [weak = weak_from_this(), generation, done](MacResult<Json> answer) {
                                auto self = weak.lock();
                                if (!self || self->captchaGeneration != generation)
                                    return finish(done, MacFailure::cancelled());
                                auto fail = [&](const MacFailure& failure) {
                                    self->account->setMessage(failure.localizedDescription());
                                    finish(done, failure);
                                };
                                if (!answer) return fail(answer.failure());
                                auto id = field::string(answer.value(), "captcha_id");
                                auto image = field::string(answer.value(), "image");
                                std::optional<Bytes> png;
                                if (id && image && image->starts_with(kPNGDataPrefix))
                                    png =
                                        base64Decode(std::string_view(*image).substr(kPNGDataPrefix.size()));
                                if (!png || !isPNG(*png)) return fail(MacFailure::message(kInvalidCaptcha));
                                self->captchaPicture = std::move(*png);
                                self->captcha = *id;
                                self->captchaAnswer.clear();
                                self->publish();
                                finish(done, {});
                            });
}

// QR sign-in: one flow per (mode, revision, consent); any change of them starts it again.

void MacLoginFlow::refreshQR() {
    if (!canRefreshQR()) return;
    ++revision;
    publish();
    restartQR();
}

void MacLoginFlow::restartQR() {
    ++qrGeneration;
    qrActive = false;
    if (visible) startQR();
}

void MacLoginFlow::startQR() {
    if (revision < 1 || currentMode != Mode::qr || !consented) return;
    uint64_t generation = qrGeneration;
    qrActive = true;
    qrText.reset();
    qrLeft = 0;
    publish();
    std::string name = options.computerName.empty() ? hostName() : options.computerName;
    if (name.empty()) name = kDefaultComputerName;
    account->http().request(
        apiBase(), "/v1/auth/qr", "POST", "", Json{{"name", name}},
        [weak = weak_from_this(), generation](MacResult<Json> answer) {
            auto self = weak.lock();
            if (!self || self->qrGeneration != generation) return;
            if (!answer) return self->finishQR(generation, answer.failure().localizedDescription());
            auto id = field::string(answer.value(), "id");
            auto secret = field::string(answer.value(), "poll_secret");
            auto qr = field::string(answer.value(), "qr");
            if (!id || !secret || !qr || qr->empty() || qr->size() > kMaxQRBytes)
                return self->finishQR(generation, kInvalidQR);
            auto lifetime = field::int64(answer.value(), "expires_in");
            double expiry =
                self->clock->now() + (lifetime ? static_cast<double>(*lifetime) : kDefaultQRSeconds);
            self->qrText = *qr;
            self->qrLeft = self->secondsUntil(expiry);
            self->publish();
            self->schedulePoll(generation, *id, *secret, expiry);
        });
}

void MacLoginFlow::schedulePoll(uint64_t generation, std::string id, std::string secret, double expiry) {
    clock->after(kQRPollInterval, [weak = weak_from_this(), generation, id, secret, expiry] {
        auto self = weak.lock();
        if (!self || self->qrGeneration != generation) return;
        self->poll(generation, id, secret, expiry);
    });
}

void MacLoginFlow::poll(uint64_t generation, std::string id, std::string secret, double expiry) {
    account->http().request(
        apiBase(), "/v1/auth/qr/poll", "POST", "", Json{{"id", id}, {"secret", secret}},
        [weak = weak_from_this(), generation, id, secret, expiry](MacResult<Json> answer) {
            auto self = weak.lock();
            if (!self || self->qrGeneration != generation) return;
            if (!answer) return self->finishQR(generation, answer.failure().localizedDescription());
            std::string status = field::string(answer.value(), "status", "");
            if (status == "approved") {
                return self->account->completeLogin(answer.value(), [weak, generation](MacResult<void> done) {
                    auto self = weak.lock();
                    if (!self) return;
                    if (!done && !done.failure().isCancelled())
                        return self->finishQR(generation, done.failure().localizedDescription());
                    self->finishQR(generation, std::nullopt);
                });
            }
            if (status == "denied") return self->finishQR(generation, kQRDenied);
            if (self->account->credentials() || self->currentMode != Mode::qr) {
                self->qrActive = false;
                return self->publish();
            }
            self->qrLeft = self->secondsUntil(expiry);
            if (self->qrLeft == 0) return self->finishQR(generation, kQRExpired);
            self->publish();
            self->schedulePoll(generation, id, secret, expiry);
        });
}

// Ends the flow: the code goes away, and a failure's text becomes the message.
void MacLoginFlow::finishQR(uint64_t generation, std::optional<std::string> message) {
    if (generation == qrGeneration) {
        qrActive = false;
        qrText.reset();
        qrLeft = 0;
    }
    if (message) account->setMessage(*message);
    publish();
}

std::optional<std::string> qrLoginID(std::string_view scanned) {
    if (scanned.starts_with(kQRLoginPrefix)) scanned.remove_prefix(kQRLoginPrefix.size());
    if (scanned.empty() || scanned.size() > 256) return std::nullopt;
    for (char c : scanned)
        if (c <= ' ' || c == '?' || c == '&' || c == '/' || c == 0x7f) return std::nullopt;
    return std::string(scanned);
}

void approveQRLogin(const std::shared_ptr<MacAccount>& account, const std::string& id, bool approve,
                    MacAccount::Done<std::string> done) {
    account->validCredentials([weak = std::weak_ptr<MacAccount>(account), id, approve,
                               done](MacResult<MacCredentials> valid) {
        auto self = weak.lock();
        if (!self) return;
        if (!valid) return done(valid.failure());
        self->http().request(valid.value().base, "/v1/auth/qr/approve", "POST", valid.value().accountToken,
                             Json{{"id", id}, {"approve", approve}}, [done](MacResult<Json> answer) {
                                 if (!answer) return done(answer.failure());
                                 done(field::string(answer.value(), "name", ""));
                             });
    });
}

} // namespace quorlinth
