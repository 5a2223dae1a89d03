#include "app/cli/AccountCommands.h"

#include "account/MacLoginFlow.h"
#include "account/QRTerminalText.h"
#include "app/cli/CliAccount.h"
#include "app/cli/CliParsing.h"
#include "base/DisplayText.h"
#include "base/MainQueue.h"
#include "store/Paths.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace quorlinth::cli {

namespace {

constexpr const char* kCancelled = "已取消登录";

void printIdentity(const MacCredentials& credentials) {
    std::printf("%s\t%s\n", credentials.username.c_str(), credentials.deviceID.c_str());
    std::fflush(stdout);
}

// One line from the terminal, without echo for a secret; none at the end of the input.
std::optional<std::string> readLine(bool secret) {
    bool silent = secret && isatty(STDIN_FILENO);
    termios original{};
    if (silent) {
        tcgetattr(STDIN_FILENO, &original);
        termios quiet = original;
        quiet.c_lflag &= ~ECHO;
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    bool read = static_cast<bool>(std::getline(std::cin, line));
    if (silent) tcsetattr(STDIN_FILENO, TCSANOW, &original);
    // Unechoed input leaves the cursor after the prompt; what follows starts a line of its own.
    if (silent || !isatty(STDIN_FILENO)) std::fprintf(stderr, "\n");
    if (!read) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Asks at the terminal. Reading blocks, so it happens off the main queue and the answer hops
// back to it.
void ask(const std::string& prompt, bool secret, std::function<void(std::optional<std::string>)> answer) {
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    std::thread([secret, answer = std::move(answer)] {
        auto line = readLine(secret);
        mainQueue().post([answer, line] { answer(line); });
    }).detach();
}

// The captcha pictures go to a private folder of their own, removed when the sign-in ends; each
// file is named after its captcha so that every picture the service sends is a new file.
class CaptchaFolder {
public:
    CaptchaFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorlinth-captcha-XXXXXX").string();
        if (mkdtemp(pattern.data())) folder = pattern;
    }
    ~CaptchaFolder() {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }

    std::optional<std::string> save(const std::string& captchaID, const Bytes& png) const {
        std::string safeID;
        for (char c : captchaID)
            safeID += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
        if (folder.empty() || safeID.empty() || safeID.size() > 128) return std::nullopt;
        std::filesystem::path file = std::filesystem::path(folder) / ("captcha-" + safeID + ".png");
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
        if (!out.flush()) return std::nullopt;
        return file.string();
    }

private:
    std::string folder;
};

// Sign-in by phone at the terminal: picture captcha, SMS code (an empty answer asks for a new
// one once the countdown allows it), and the password a new phone number needs.
class SmsLogin : public std::enable_shared_from_this<SmsLogin> {
public:
    SmsLogin(MacAccount& account, std::string phone, std::function<void(int)> finish)
        : account(account.shared_from_this()), phone(std::move(phone)), finish(std::move(finish)) {}

    void start() {
        flow = MacLoginFlow::create(account, std::make_shared<DispatcherLoginClock>(mainQueue()));
        flow->setConsent(true);
        flow->setMode(MacLoginFlow::Mode::sms);
        flow->phone = phone;
        showCaptcha();
    }

private:
    void showCaptcha() {
        flow->changeCaptcha([self = shared_from_this()](MacResult<void> fetched) {
            if (!fetched) return self->end(reportFailure(fetched.failure()));
            auto file = self->captchas.save(self->flow->captchaID(), *self->flow->captchaImage());
            if (!file)
                return self->end(
                    reportFailure(MacFailure::message("无法保存图形验证码图片，请检查临时文件夹")));
            printLine("图形验证码已保存为 " + *file + "，请打开图片查看");
            ask("图形验证码：", false, [self](std::optional<std::string> answer) {
                if (!answer) return self->end(reportFailure(MacFailure::message(kCancelled)));
                if (answer->empty()) return self->showCaptcha(); // another picture
                self->flow->captchaAnswer = *answer;
                self->sendCode();
            });
        });
    }

    void sendCode() {
        flow->sendCode([self = shared_from_this()](MacResult<void> sent) {
            if (!sent) {
                reportFailure(sent.failure());
                return self->showCaptcha();
            }
            printLine(self->account->message());
            self->askCode();
        });
    }

    void askCode() {
        ask("短信验证码（直接回车重新发送）：", false,
            [self = shared_from_this()](std::optional<std::string> code) {
                if (!code) return self->end(reportFailure(MacFailure::message(kCancelled)));
                if (code->empty()) {
                    std::string label = self->flow->sendCodeLabel();
                    if (label == MacLoginFlow::kSendCodeLabel) return self->showCaptcha();
                    printLine(label);
                    return self->askCode();
                }
                self->flow->code = *code;
                if (!self->flow->canSmsLogin()) {
                    printLine("短信验证码是 6 位数字，请重新输入");
                    return self->askCode();
                }
                self->flow->smsLogin([self](MacResult<void> done) {
                    if (!done) {
                        reportFailure(done.failure());
                        return self->askCode();
                    }
                    if (self->flow->showsPasswordSetup()) {
                        printLine(MacLoginFlow::kSetupTitle);
                        printLine(MacLoginFlow::kSetupExplanation);
                        return self->askNewPassword();
                    }
                    self->signedIn();
                });
            });
    }

    void askNewPassword() {
        ask(std::string(MacLoginFlow::kNewPasswordField) + "：", true,
            [self = shared_from_this()](std::optional<std::string> chosen) {
                if (!chosen) return self->leaveSetup();
                ask(std::string(MacLoginFlow::kConfirmPasswordField) + "：", true,
                    [self, chosen](std::optional<std::string> again) {
                        if (!again) return self->leaveSetup();
                        self->flow->newPassword = *chosen;
                        self->flow->confirmPassword = *again;
                        self->setupPassword();
                    });
            });
    }

    void setupPassword() {
        if (!flow->canSetupPassword()) {
            printLine(flow->newPassword != flow->confirmPassword ? "两次输入的密码不一致，请重新设置"
                                                                 : "密码需要 12–72 字节，请重新设置");
            return askNewPassword();
        }
        flow->setupPassword([self = shared_from_this()](MacResult<void> done) {
            if (!done) {
                reportFailure(done.failure());
                return self->askNewPassword();
            }
            self->signedIn();
        });
    }

    void leaveSetup() {
        flow->leavePasswordSetup();
        end(reportFailure(MacFailure::message(kCancelled)));
    }

    void signedIn() {
        if (!account->credentials()) return end(reportFailure(MacFailure::message(kCancelled)));
        printIdentity(*account->credentials());
        end(0);
    }

    void end(int code) {
        auto done = std::move(finish);
        if (done) done(code);
    }

    std::shared_ptr<MacAccount> account;
    std::string phone;
    std::function<void(int)> finish;
    std::shared_ptr<MacLoginFlow> flow;
    CaptchaFolder captchas;
};

// Sign-in by QR code: the code is drawn in the terminal and polled until a signed-in device
// approves or denies it, or it expires.
class QrLogin : public std::enable_shared_from_this<QrLogin> {
public:
    QrLogin(MacAccount& account, std::function<void(int)> finish)
        : account(account.shared_from_this()), finish(std::move(finish)) {}

    void start() {
        flow = MacLoginFlow::create(account, std::make_shared<DispatcherLoginClock>(mainQueue()));
        flow->setConsent(true);
        flow->setMode(MacLoginFlow::Mode::qr);
        flow->shown();
        flow->refreshQR();
        // Watched once the code is on its way; the callback keeps this sign-in alive until it ends.
        flow->onChange = [self = shared_from_this()] { self->changed(); };
        changed();
    }

private:
    void changed() {
        if (ended) return;
        if (flow->qrRunning()) {
            if (flow->qrCode() && flow->qrCode() != shown) show(*flow->qrCode());
            return;
        }
        ended = true;
        // Ends outside the flow's callback, which lets go of this sign-in.
        mainQueue().post([self = shared_from_this()] {
            self->flow->hidden();
            self->flow->onChange = nullptr;
            int code = 0;
            if (self->account->credentials()) {
                printIdentity(*self->account->credentials());
            } else {
                std::string message = self->account->message();
                code = reportFailure(MacFailure::message(message.empty() ? kCancelled : message));
            }
            auto done = std::move(self->finish);
            done(code);
        });
    }

    void show(const std::string& code) {
        shown = code;
        auto picture = qrTerminalText(code);
        if (picture) std::printf("%s", picture->c_str());
        std::string id = qrLoginID(code).value_or(code);
        printLine("登录 ID：" + displaySafe(id, 256));
        printLine(MacLoginFlow::kQRInstruction);
        printLine("也可以在另一台已登录的电脑上运行：quorlinth-cli approve-qr " + displaySafe(id, 256));
        printLine(flow->qrValidityText());
    }

    std::shared_ptr<MacAccount> account;
    std::function<void(int)> finish;
    std::shared_ptr<MacLoginFlow> flow;
    std::optional<std::string> shown;
    bool ended = false;
};

int login(const CliOptions& options, const std::string& username, const std::string& password) {
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        account.login(username, password, [&account, finish](MacResult<void> done) {
            if (!done && !account.credentials()) return finish(reportFailure(done.failure()));
            // A failed device-list refresh leaves the sign-in in place; say so, but succeed.
            if (!done) reportFailure(done.failure());
            printIdentity(*account.credentials());
            finish(0);
        });
    });
}

int smsLogin(const CliOptions& options, const std::string& phone) {
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        std::make_shared<SmsLogin>(context.account, phone, finish)->start();
    });
}

int qrLogin(const CliOptions& options) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        std::make_shared<QrLogin>(context.account, finish)->start();
    });
}

int approveQr(const CliOptions& options, const std::string& scanned, bool approve) {
    auto id = qrLoginID(scanned);
    if (!id) return usageError("登录 ID 无效：请给出另一台电脑显示的登录 ID 或二维码内容");
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        if (!account.credentials()) return finish(reportFailure(MacFailure::message("请先登录账号")));
        approveQRLogin(account.shared_from_this(), *id, approve,
                       [approve, finish](MacResult<std::string> done) {
                           if (!done) return finish(reportFailure(done.failure()));
                           std::string name = done.value().empty() ? "这台电脑" : displaySafe(done.value());
                           printLine(approve ? "已允许 " + name + " 登录" : "已拒绝 " + name + " 登录");
                           finish(0);
                       });
    });
}

int devices(const CliOptions& options) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        account.refreshDevices([&account, finish](MacResult<void> done) {
            if (!done) return finish(reportFailure(done.failure()));
            for (const MacDevice& device : account.devices())
                std::printf("%s\t%s\t%s\t%s\n", device.id.c_str(), displaySafe(device.name).c_str(),
                            device.platform.c_str(), device.statusText().c_str());
            finish(0);
        });
    });
}

int logout(const CliOptions& options) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        if (!account.credentials()) return finish(reportFailure(MacFailure::message("请先登录账号")));
        account.logout([&account, finish] {
            if (!account.message().empty())
                return finish(reportFailure(MacFailure::message(account.message())));
            finish(0);
        });
    });
}

int whoami(const CliOptions& options) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        if (!account.credentials()) return finish(reportFailure(MacFailure::message("请先登录账号")));
        printIdentity(*account.credentials());
        finish(0);
    });
}

struct LoginFlags {
    std::string username, password, phone;
    bool qr = false;
};

} // namespace

void addAccountCommands(CLI::App& app, const CliOptions& options, int& exitCode) {
    auto flags = std::make_shared<LoginFlags>();
    auto login = app.add_subcommand("login", "登录账号并绑定这台设备：账号密码、手机号验证码或扫码");
    login->footer("登录即表示你已阅读并同意用户协议和隐私政策。");
    auto username = login->add_option("USERNAME", flags->username, "账号 / 已绑定手机号");
    login->add_option(
        "PASSWORD", flags->password,
        "密码；省略时从终端（不回显）或标准输入读取。写在命令行上不安全：其他用户能在进程列表里看到");
    auto sms = login->add_option("--sms", flags->phone,
                                 "用手机号验证码登录或注册：图形验证码存为 PNG 图片，验证码从终端输入；"
                                 "新手机号随后设置登录密码");
    auto qr = login->add_flag("--qr", flags->qr,
                              "扫码登录：在终端显示二维码和登录 ID，等另一台已登录的设备授权（approve-qr）");
    sms->excludes(username);
    qr->excludes(username);
    qr->excludes(sms);
    login->callback([&options, &exitCode, flags, username, sms] {
        if (flags->qr) {
            exitCode = qrLogin(options);
        } else if (sms->count()) {
            if (flags->phone.size() != MacLoginFlow::kPhoneLength ||
                flags->phone.find_first_not_of("0123456789") != std::string::npos)
                throw CLI::ValidationError("--sms", "需要 11 位手机号");
            exitCode = smsLogin(options, flags->phone);
        } else {
            if (!username->count()) throw CLI::RequiredError("USERNAME、--sms 或 --qr");
            exitCode = cli::login(options, flags->username, secretOrPrompt(flags->password, "密码："));
        }
    });

    auto scanned = std::make_shared<std::pair<std::string, bool>>();
    auto approve = app.add_subcommand("approve-qr", "在已登录的设备上授权另一台电脑的扫码登录");
    approve->add_option("ID", scanned->first, "对方显示的登录 ID（或二维码内容）")->required();
    approve->add_flag("--deny", scanned->second, "拒绝这次登录");
    approve->callback(
        [&options, &exitCode, scanned] { exitCode = approveQr(options, scanned->first, !scanned->second); });
    app.add_subcommand("devices", "列出账号的设备：ID、名称、平台、状态")->callback([&options, &exitCode] {
        exitCode = devices(options);
    });
    app.add_subcommand("logout", "退出登录并解绑这台设备")->callback([&options, &exitCode] {
        exitCode = logout(options);
    });
    app.add_subcommand("whoami", "显示用户名和这台设备的 ID")->callback([&options, &exitCode] {
        exitCode = whoami(options);
    });
}

} // namespace quorlinth::cli
