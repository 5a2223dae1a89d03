#pragma once

#include "account/MacAccount.h"
#include "base/Encoding.h"
#include "base/Scheduler.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

// Time and delayed tasks for the sign-in screen, injected so that the resend countdown and the QR
// expiry can be tested without waiting.
class LoginClock {
public:
    virtual ~LoginClock() = default;
    // Seconds of a monotonic clock.
    virtual double now() = 0;
    // Runs `task` on the main thread after `seconds`.
    virtual void after(double seconds, std::function<void()> task) = 0;
};

// The steady clock and the main queue.
class DispatcherLoginClock : public LoginClock {
public:
    explicit DispatcherLoginClock(Dispatcher& mainQueue) : mainQueue(mainQueue) {}
    double now() override;
    void after(double seconds, std::function<void()> task) override;

private:
    Dispatcher& mainQueue;
};

// The sign-in screen without its layout: the three modes (account and password, phone with SMS
// code behind a picture captcha, QR code approved on a signed-in phone), the password setup an
// SMS sign-up needs, the consent box, which control is enabled when, and the timers. Every flow
// ends in the account's sign-in; every failure ends as the account's `message`. Main thread only.
class MacLoginFlow : public std::enable_shared_from_this<MacLoginFlow> {
public:
    enum class Mode { password, sms, qr };

    static constexpr const char* kModeSwitcherLabel = "登录方式";
    static constexpr const char* kConsentText = "我已阅读并同意用户协议和隐私政策";
    static constexpr const char* kCodeSent = "验证码已发送，请查看手机短信";
    static constexpr const char* kSendCodeLabel = "发送验证码";
    static constexpr const char* kInvalidCaptcha = "图形验证码无效";
    static constexpr const char* kInvalidQR = "二维码响应无效";
    static constexpr const char* kQRDenied = "手机已拒绝登录，请刷新";
    static constexpr const char* kQRExpired = "二维码已过期，请刷新";
    static constexpr const char* kDefaultComputerName = "我的 Mac";
    static constexpr const char* kQRInstruction =
        "请使用已登录的 Android 或 iPhone：设备 → 扫一扫，在手机上确认 Mac 名称后授权登录。";
    // The screen's fixed texts.
    static constexpr const char* kUsernamePlaceholder = "账号 / 已绑定手机号";
    static constexpr const char* kPhonePlaceholder = "11 位手机号";
    static constexpr const char* kLoginButton = "登录";
    static constexpr const char* kSmsLoginButton = "登录 / 注册";
    static constexpr const char* kChangeCaptchaButton = "换图";
    static constexpr const char* kRefreshQRButton = "生成 / 刷新二维码";
    static constexpr const char* kSetupTitle = "设置登录密码";
    static constexpr const char* kSetupExplanation = "手机号已验证。设置密码后即可完成登录。";
    static constexpr const char* kNewPasswordField = "新密码（12–72 字节）";
    static constexpr const char* kConfirmPasswordField = "再次输入密码";
    static constexpr const char* kSetupButton = "设置密码并登录";
    static constexpr const char* kLeaveSetupButton = "返回登录";
    static constexpr const char* kSwitchAccountMenu = "切换账号";
    static constexpr const char* kLogoutButton = "退出账号";
    static constexpr const char* kSignedInPrefix = "已登录：";
    static constexpr const char* kSignedInNote =
        "Mac、Android 和 iPhone 登录同一账号后，可在设备列表中发现。";
    static constexpr double kDefaultResendSeconds = 60;
    static constexpr double kDefaultQRSeconds = 180;
    static constexpr double kQRPollInterval = 2;
    static constexpr size_t kPhoneLength = 11; // characters
    static constexpr size_t kCodeLength = 6;   // characters
    static constexpr size_t kMinPasswordBytes = 12;
    static constexpr size_t kMaxPasswordBytes = 72;
    // The most a QR code holds (version 40, lowest error correction, bytes).
    static constexpr size_t kMaxQRBytes = 2953;

    struct Options {
        // This machine's name as the phone shows it before approving; the host name when empty.
        std::string computerName;
    };

    using Done = std::function<void(MacResult<void>)>;

    static std::shared_ptr<MacLoginFlow> create(std::shared_ptr<MacAccount> account,
                                                std::shared_ptr<LoginClock> clock, Options options = {});
    MacLoginFlow(std::shared_ptr<MacAccount> account, std::shared_ptr<LoginClock> clock, Options options);

    static const char* label(Mode mode);

    // The text fields, edited by the view as typed.
    std::string username;
    std::string password;
    std::string phone;
    std::string code;
    std::string captchaAnswer;
    std::string newPassword;
    std::string confirmPassword;

    // Published state; onChange runs after every change made here (the account has its own).
    std::function<void()> onChange;
    Mode mode() const { return currentMode; }
    bool consent() const { return consented; }
    const std::string& captchaID() const { return captcha; }
    // The captcha picture as PNG bytes (160 by 60 points).
    const std::optional<Bytes>& captchaImage() const { return captchaPicture; }
    // The text the QR code encodes; none while no code is shown.
    const std::optional<std::string>& qrCode() const { return qrText; }
    int qrRevision() const { return revision; }
    int64_t qrSeconds() const { return qrLeft; }
    // Whether a QR flow is running (creating, showing or polling a code).
    bool qrRunning() const { return qrActive; }
    bool showsPasswordSetup() const { return account->needsPasswordSetup(); }

    // Which controls are enabled.
    bool canLogin() const;
    bool canSendCode() const;
    bool canSmsLogin() const;
    bool canChangeCaptcha() const;
    bool canRefreshQR() const;
    bool canSetupPassword() const;
    bool canLeavePasswordSetup() const;
    bool canSwitchAccount() const;
    bool canLogout() const;
    // The menu "切换账号": always while signed in, and while signed out when accounts are saved.
    bool showsAccountMenu() const;
    // "发送验证码", or the seconds left before a new code may be requested: "42 秒后重发".
    std::string sendCodeLabel() const;
    // "N 秒内有效" under the QR code, empty when there is nothing to count.
    std::string qrValidityText() const;

    // The screen appears or goes away: the captcha and the QR flow start and stop with it.
    void shown();
    void hidden();
    void setMode(Mode mode);
    void setConsent(bool on);

    // The controls' actions. Each reports how it ended; a disabled control's action does nothing
    // and reports a cancellation.
    void login(Done done = {});
    void sendCode(Done done = {});
    void smsLogin(Done done = {});
    void changeCaptcha(Done done = {});
    void refreshQR();
    void setupPassword(Done done = {});
    void leavePasswordSetup();
    void switchAccount(const std::optional<std::string>& key, Done done = {});
    void logout(std::function<void()> onLogout = {});

private:
    void run(std::function<void(Done)> action, Done done);
    void fetchCaptcha(Done done);
    void fetchCaptchaIfShown();
    void restartQR();
    void startQR();
    void schedulePoll(uint64_t generation, std::string id, std::string secret, double expiry);
    void poll(uint64_t generation, std::string id, std::string secret, double expiry);
    void finishQR(uint64_t generation, std::optional<std::string> message);
    void tick(uint64_t generation);
    int64_t secondsUntil(double deadline) const;
    const std::string& apiBase() const;
    void publish();

    std::shared_ptr<MacAccount> account;
    std::shared_ptr<LoginClock> clock;
    Options options;

    Mode currentMode = Mode::password;
    bool consented = false;
    bool visible = false;
    std::string captcha;
    std::optional<Bytes> captchaPicture;
    uint64_t captchaGeneration = 0;
    std::optional<std::string> qrText;
    int revision = 0;
    int64_t qrLeft = 0;
    bool qrActive = false;
    uint64_t qrGeneration = 0; // a change cancels the running QR flow
    uint64_t tickGeneration = 0;
    double resendUntil;
};

// The sign-in id of a scanned QR code: "quorlinth://qr-login?id=ID", or the id alone.
std::optional<std::string> qrLoginID(std::string_view scanned);

// A signed-in device answers a Mac's QR sign-in; on success the answer is the Mac's name.
void approveQRLogin(const std::shared_ptr<MacAccount>& account, const std::string& id, bool approve,
                    MacAccount::Done<std::string> done);

} // namespace quorlinth
