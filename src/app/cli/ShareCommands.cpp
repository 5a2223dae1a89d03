#include "app/cli/ShareCommands.h"

#include "app/X11Desktop.h"
#include "app/cli/CliAccount.h"
#include "app/cli/CliParsing.h"
#include "app/cli/PatternDesktop.h"
#include "app/cli/ShareLock.h"
#include "app/cli/TerminalPrompter.h"
#include "app/cli/TransferLines.h"
#include "base/DisplayText.h"
#include "base/MainQueue.h"
#include "lan/LANEndpoint.h"
#include "lan/LANIdentity.h"
#include "log/MacLog.h"
#include "model/MacModel.h"
#include "platform/linux/AvahiServiceDiscovery.h"
#include "platform/linux/LogindPowerManagement.h"
#include "platform/linux/X11Clipboard.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace quorlinth::cli {

namespace {

constexpr Millis kVirtualDisplayReplyTimeout{8000};

void logEverywhere(const std::string& text) {
    printLine(text);
    MacLog::shared().log(text);
}

std::string selfExecutable() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

struct ShareFlags {
    std::set<std::string> trusted;
    bool acceptAll = false;
    bool forceRelay = false;
    bool allowInput = false;
    bool printControl = false;
    bool lan = false;
    bool pairing = false;
    bool atLogin = false;
    std::string quality; // empty: the saved setting
    std::string source = std::getenv("DISPLAY") ? "x11" : "pattern";
    std::string patternSize = "1920x1080";
    int patternWidth = 1920, patternHeight = 1080;
    std::vector<std::string> iceAddresses;
    std::optional<long> seconds;
};

// The platform under the model: this X display, or the pattern screen.
struct Desktop {
    std::unique_ptr<PatternDesktop> pattern;
    std::unique_ptr<X11Desktop> x11;

    static Result<std::unique_ptr<Desktop>> open(const ShareFlags& flags) {
        auto desktop = std::make_unique<Desktop>();
        if (flags.source == "pattern") {
            desktop->pattern = std::make_unique<PatternDesktop>(flags.patternWidth, flags.patternHeight);
            return desktop;
        }
        desktop->x11 = X11Desktop::open();
        if (!desktop->x11)
            return Error{"无法打开 X 显示器：请确认 DISPLAY 指向正在运行的 X 服务器，或用 --source pattern "
                         "共享测试图案"};
        return desktop;
    }

    DisplayServices& displayServices() {
        return pattern ? *pattern : static_cast<DisplayServices&>(*x11->displays);
    }
    ScreenCaptureService& captureService() {
        return pattern ? *pattern : static_cast<ScreenCaptureService&>(*x11->capture);
    }
    SessionMonitor& sessionMonitor() {
        return pattern ? *pattern : static_cast<SessionMonitor&>(*x11->session);
    }
    InputInjector& inputInjector() {
        return pattern ? *pattern : static_cast<InputInjector&>(*x11->injector);
    }
    KeyboardInputSources& inputSources() {
        return pattern ? *pattern : static_cast<KeyboardInputSources&>(*x11->sources);
    }
};

// The kind of a control message, for --print-control; never its content.
std::string controlType(const std::string& message) {
    auto object = parseJsonObject(message);
    std::string type = object ? field::string(*object, "type", "?") : "?";
    bool plain = type.size() <= 32 && std::all_of(type.begin(), type.end(), [](char c) {
                     return std::isalnum((unsigned char)c) || c == '_';
                 });
    return plain ? type : "?";
}

// Share hosts over the service whose session events are also printed.
ShareHostFactory printingHosts(const MacServiceConfig& service, const ShareFlags& flags) {
    MacShareHost::Options options;
    options.iceAddresses = flags.iceAddresses;
    if (flags.forceRelay) options.iceTransportPolicy = RTCIceTransportPolicy::relay;
    options.log = logEverywhere;
    auto hosts = serviceShareHosts(service, options);
    return [hosts](const MacCredentials& credentials, MacShareQuality quality, ShareHostCallbacks callbacks) {
        callbacks.onRequest = [decide = callbacks.onRequest](MacShareHost::Request request,
                                                             std::function<void(bool)> answer) {
            printLine("请求 " + displaySafe(request.name) +
                      (request.guest ? " guest" : " controller=" + displaySafe(request.controllerID)));
            decide(request, std::move(answer));
        };
        callbacks.onConnect = [inner = callbacks.onConnect] {
            printLine("状态 已授权");
            inner();
        };
        callbacks.onDisconnect = [inner = callbacks.onDisconnect] {
            printLine("状态 会话结束");
            inner();
        };
        return hosts(credentials, quality, std::move(callbacks));
    };
}

// Everything one sharing run holds, alive until the run loop ends.
struct ShareRun {
    std::unique_ptr<Desktop> desktop;
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<LogindPowerManagement> power;
    std::unique_ptr<XdgAutostartLoginItem> loginItem;
    std::unique_ptr<TerminalPrompter> prompter;
    std::unique_ptr<AvahiServiceDiscovery> discovery;
    std::shared_ptr<MacModel> model;
    std::vector<Subscription> subscriptions;
};

std::shared_ptr<MacAccount> shareAccount(CliAccountContext& context) {
    // The command runner owns the account; the model keeps it by a non-owning pointer.
    return std::shared_ptr<MacAccount>(std::shared_ptr<MacAccount>{}, &context.account);
}

std::vector<std::string> loginCommand() {
    return {selfExecutable(), "share", "--at-login"};
}

// Sharing ends on Ctrl-C, SIGTERM or after `seconds`.
void stopWhenDone(std::shared_ptr<ShareRun> run, std::optional<long> seconds,
                  std::function<void(int)> finish) {
    pollUntil(
        seconds, [] { return false; },
        [run, finish] { run->model->stopSharing([finish] { finishSoon(finish, 0); }); });
}

void observeModel(ShareRun& run, const ShareFlags& flags, std::function<void(int)> finish) {
    const MacModelState& state = run.model->state();
    run.subscriptions.push_back(
        state.status.observe([](const std::string& text) { printLine("状态 " + text); }));
    run.subscriptions.push_back(state.sharing.observe([model = run.model.get(), flags](bool on) {
        if (!on) return;
        printLine("共享已开始 device=" + model->account().credentials()->deviceID +
                  " source=" + flags.source);
        if (flags.pairing) model->refreshPairing();
    }));
    run.subscriptions.push_back(
        state.pairingPassword.observe([model = run.model.get()](const std::string& password) {
            if (!password.empty())
                printLine("设备码 " + model->state().pairingCode.get() + " 临时密码 " + password);
        }));
    run.subscriptions.push_back(state.starting.observe([model = run.model.get(), finish](bool starting) {
        if (!starting && !model->state().sharing.get()) finish(kFailed);
    }));
    run.subscriptions.push_back(
        state.lanPassword.observe([model = run.model.get()](const std::string& password) {
            if (password.empty()) return;
            std::string addresses;
            for (const auto& address : model->state().lanAddresses.get())
                addresses += (addresses.empty() ? "" : ",") + address;
            printLine("局域网 端口 " + std::to_string(kLANPort) + " 地址 " +
                      (addresses.empty() ? "-" : addresses) + " 配对密码 " + password);
        }));
    for (auto& subscription : printTransfer(state.transferNote, state.transferProgress))
        run.subscriptions.push_back(std::move(subscription));
    run.subscriptions.push_back(state.lanNote.observe([](const std::string& note) {
        if (!note.empty()) printLine("局域网 " + note);
    }));
    if (flags.printControl)
        run.model->onControl = [](const std::string& message) { printLine("控制 " + controlType(message)); };
}

int share(const CliOptions& options, ShareFlags flags) {
    std::sscanf(flags.patternSize.c_str(), "%dx%d", &flags.patternWidth, &flags.patternHeight);
    auto lock = ShareLock::acquire();
    if (!lock) {
        std::fprintf(stderr, "%s\n", lock.error().c_str());
        return kFailed;
    }
    installInterruptHandlers();
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        auto desktop = Desktop::open(flags);
        if (!desktop) {
            std::fprintf(stderr, "%s\n", desktop.error().c_str());
            return finish(kFailed);
        }
        auto run = std::make_shared<ShareRun>();
        run->desktop = std::move(desktop.value());
        run->defaults = std::make_unique<UserDefaults>(appConfigDir() / "defaults.json");
        run->power = std::make_unique<LogindPowerManagement>();
        run->loginItem = std::make_unique<XdgAutostartLoginItem>(loginCommand());
        run->prompter = std::make_unique<TerminalPrompter>(flags.acceptAll);
        run->discovery = std::make_unique<AvahiServiceDiscovery>();
        auto log = [](const std::string& line) { MacLog::shared().log(line); };
        MacCapture::Platform capture{
            run->desktop->displayServices(), run->desktop->captureService(), run->desktop->sessionMonitor(),
            MacCapture::childProcessLauncher({selfExecutable(), kVirtualDisplayReplyTimeout, log}), log};
        MacModel::Platform platform{mainQueue(),
                                    *run->defaults,
                                    shareAccount(context),
                                    run->desktop->inputInjector(),
                                    run->desktop->inputSources(),
                                    capture,
                                    *run->power,
                                    *run->loginItem,
                                    *run->prompter,
                                    printingHosts(context.service, flags),
                                    log,
                                    {}};
        platform.lanKeys = &context.keys;
        platform.discovery = run->discovery.get();
        // The shared display's clipboard follows the viewer's while transfer is allowed.
        if (run->desktop->x11) platform.clipboard = X11Clipboard::open();
        run->model = MacModel::create(platform);
        for (const auto& id : flags.trusted)
            run->model->setTrusted(id, true);
        if (auto quality = shareQualityFromRaw(flags.quality)) run->model->setQuality(*quality);
        if (flags.allowInput || run->model->currentAccess().restoreInput) run->model->setAllowInput(true);
        if (flags.lan) run->model->setLANEnabled(true);
        observeModel(*run, flags, finish);
        run->model->activate();
        if (flags.atLogin)
            run->model->restoreAtLaunch();
        else
            run->model->startSharing();
        const MacModelState& state = run->model->state();
        if (!state.starting.get() && !state.sharing.get()) {
            if (flags.atLogin && state.status.get().empty()) printLine("状态 未设置登录后自动共享，不共享");
            return finish(kFailed);
        }
        stopWhenDone(run, flags.seconds, finish);
    });
}

const char* onOff(bool value) {
    return value ? "on" : "off";
}

std::optional<bool> parseOnOff(const std::string& value) {
    if (value == "on") return true;
    if (value == "off") return false;
    return std::nullopt;
}

void listSettings(MacModel& model) {
    const MacModelState& state = model.state();
    MacSharingAccess access = model.currentAccess();
    std::string trusted;
    for (const auto& id : access.trustedDevices)
        trusted += (trusted.empty() ? "" : ",") + id;
    printLine("quality\t" + rawValue(state.quality.get()));
    printLine(std::string("allow-input\t") + onOff(access.restoreInput));
    printLine(std::string("allow-transfer\t") + onOff(state.allowTransfer.get()));
    printLine(std::string("keep-awake\t") + onOff(state.keepAwake.get()));
    printLine(std::string("launch-at-login\t") + onOff(access.startAtLogin));
    printLine("trusted-devices\t" + trusted);
    printLine(std::string("lan\t") + onOff(state.lanEnabled.get()));
    for (const auto& entry : state.lanTrusted.get())
        printLine("lan-trusted\t" + fingerprint(entry.key) + "\t" +
                  displaySafe(entry.displayName.value_or(entry.name)));
    printLine("config\t" + (appConfigDir() / "defaults.json").string());
    printLine("data\t" + appDataDir().string());
    printLine("keys\t" + (appDataDir() / "keys" / "keys.json").string());
    printLine("logs\t" + (appStateDir() / "logs").string());
}

// Forgets the LAN device whose fingerprint (as `settings` lists it) is given.
std::optional<std::string> removeLANTrusted(MacModel& model, const std::string& print) {
    for (const auto& entry : model.state().lanTrusted.get())
        if (fingerprint(entry.key) == print) {
            model.removeLANTrusted(entry.key);
            return std::nullopt;
        }
    return "settings: 没有指纹为 " + displaySafe(print) + " 的局域网设备（settings 列出了已信任的设备）";
}

// Applies one setting; a usage error's text, or none.
std::optional<std::string> applySetting(MacModel& model, const std::vector<std::string>& words) {
    const std::string& key = words[0];
    bool perAccount = key == "allow-input" || key == "launch-at-login" || key == "trusted-devices";
    if (perAccount && !model.account().credentials()) return "settings: " + key + " 属于当前账号，请先登录";
    if (key == "trusted-devices") {
        if (words.size() != 3 || (words[1] != "add" && words[1] != "remove"))
            return "settings: trusted-devices 的用法是 add 设备ID 或 remove 设备ID";
        model.setTrusted(words[2], words[1] == "add");
        return std::nullopt;
    }
    if (key == "lan-trusted") {
        if (words.size() != 3 || words[1] != "remove") return "settings: lan-trusted 的用法是 remove 指纹";
        return removeLANTrusted(model, words[2]);
    }
    if (words.size() != 2) return "settings: " + key + " 需要一个值";
    if (key == "quality") {
        auto quality = shareQualityFromRaw(words[1]);
        if (!quality) return "settings: quality 只能是 native、sharp 或 standard";
        model.setQuality(*quality);
        return std::nullopt;
    }
    auto on = parseOnOff(words[1]);
    if (!on) return "settings: " + key + " 只能是 on 或 off";
    if (key == "allow-transfer")
        model.setAllowTransfer(*on);
    else if (key == "keep-awake")
        model.setKeepAwake(*on);
    else if (key == "launch-at-login")
        model.setStartAtLogin(*on);
    else if (key == "allow-input")
        model.setRestoreInput(*on);
    else if (key == "lan")
        model.setLANEnabled(*on);
    else
        return "settings: 没有设置项 " + displaySafe(key) +
               "；可用的有 "
               "quality、allow-input、allow-transfer、keep-awake、launch-at-login、lan、trusted-devices、lan-"
               "trusted";
    return std::nullopt;
}

int settings(const CliOptions& options, const std::vector<std::string>& words) {
    if (words.size() > 3) return usageError("settings: 参数太多（加 --help 查看用法）");
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        PatternDesktop nothing(2, 2);
        UserDefaults defaults(appConfigDir() / "defaults.json");
        LogindPowerManagement power("unix:path=/nonexistent");
        XdgAutostartLoginItem loginItem(loginCommand());
        TerminalPrompter prompter(false);
        auto log = [](const std::string& line) { MacLog::shared().log(line); };
        MacCapture::Platform capture{nothing, nothing, nothing, {}, log};
        MacModel::Platform platform{mainQueue(), defaults,  shareAccount(context),
                                    nothing,     nothing,   capture,
                                    power,       loginItem, prompter,
                                    {},          log,       {}};
        auto model = MacModel::create(platform);
        if (!words.empty()) {
            if (auto error = applySetting(*model, words)) return finish(usageError(*error));
            if (!model->state().status.get().empty()) {
                std::fprintf(stderr, "%s\n", model->state().status.get().c_str());
                return finish(kFailed);
            }
        }
        listSettings(*model);
        finish(0);
    });
}

CLI::Validator patternSize() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            int width = 0, height = 0;
            char end = 0;
            bool ok = std::sscanf(value.c_str(), "%dx%d%c", &width, &height, &end) == 2 && width >= 2 &&
                      height >= 2 && width <= 8192 && height <= 8192;
            return ok ? std::string() : "格式是 宽x高，例如 1280x720";
        },
        "WxH");
}

void addShareOptions(CLI::App& share, ShareFlags& flags) {
    share.add_flag("--accept-all", flags.acceptAll, "不询问，接受所有连接请求");
    share.add_option("--trust", flags.trusted,
                     "信任这台设备（账号里的设备 ID），它的连接不再询问；会保存下来（可重复）");
    share.add_option("--quality", flags.quality, "画质：native、sharp 或 standard；会保存下来")
        ->check(oneOf("native sharp standard", "只能是 native、sharp 或 standard"));
    share.add_option("--source", flags.source, "共享什么：x11（DISPLAY 指定的显示器）或 pattern（测试图案）")
        ->check(oneOf("x11 pattern", "只能是 x11 或 pattern"));
    share.add_flag("--allow-input", flags.allowInput, "允许对方操作鼠标和键盘");
    share.add_flag("--pairing", flags.pairing, "开始共享后生成设备码和临时密码并显示");
    share.add_flag("--at-login", flags.atLogin,
                   "登录后自动共享：只在设置了 launch-at-login 并有可信设备时共享");
    share.add_option("--pattern-size", flags.patternSize, "测试图案的大小，例如 1280x720")
        ->check(patternSize());
    share.add_option("--ice-address", flags.iceAddresses, "只在这个本机地址上建立连接（可重复）");
    share.add_flag("--relay", flags.forceRelay, "只走 TURN 中转");
    share.add_flag("--lan", flags.lan, "同时接受局域网直连（打开并保存 lan 设置），显示地址和配对密码");
    share.add_flag("--print-control", flags.printControl, "显示收到的每条控制消息的类型（不含内容）");
    share.add_option("--seconds", flags.seconds, "共享这么多秒后停止；默认直到 Ctrl-C")
        ->check(nonNegativeNumber());
}

} // namespace

void addShareCommands(CLI::App& app, const CliOptions& options, int& exitCode) {
    auto flags = std::make_shared<ShareFlags>();
    auto share = app.add_subcommand("share", "共享这台设备的 X 显示器（或测试图案），直到 Ctrl-C");
    addShareOptions(*share, *flags);
    share->callback([&options, &exitCode, flags] { exitCode = cli::share(options, *flags); });

    auto words = std::make_shared<std::vector<std::string>>();
    auto settings = app.add_subcommand(
        "settings", "显示共享设置，或修改一项：quality native|sharp|standard；allow-input、allow-transfer、"
                    "keep-awake、launch-at-login、lan on|off；trusted-devices add|remove 设备ID；lan-trusted "
                    "remove 指纹");
    settings->add_option("KEY VALUE", *words, "设置项和新值；省略时列出全部设置和数据所在位置");
    settings->callback([&options, &exitCode, words] { exitCode = cli::settings(options, *words); });
}

} // namespace quorlinth::cli
