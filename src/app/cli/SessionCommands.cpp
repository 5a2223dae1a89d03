#include "app/cli/SessionCommands.h"

#include "account/MacHTTP.h"
#include "app/cli/CliAccount.h"
#include "app/cli/CliParsing.h"
#include "app/cli/PngFile.h"
#include "app/cli/ShareLock.h"
#include "app/cli/TransferLines.h"
#include "base/DisplayText.h"
#include "base/Encoding.h"
#include "controller/CloudRTCClient.h"
#include "controller/ConnectionDiagnostics.h"
#include "controller/ControllerInputTranslator.h"
#include "controller/InputScript.h"
#include "crypto/Random.h"
#include "lan/LANEndpoint.h"
#include "lan/MacLANTrust.h"
#include "log/MacLog.h"
#include "log/ProxyTun.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "platform/linux/LinuxNetworkPathMonitor.h"
#include "platform/linux/X11Clipboard.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>
#include <unistd.h>

namespace quorlinth::cli {

namespace {

// What connect was asked to do.
struct SessionFlags {
    std::string deviceID;
    std::string lan, lanPassword; // HOST[:PORT] of a computer on the local network
    std::vector<std::string> iceAddresses;
    std::string code, password, savePath, inputScript;
    std::vector<std::filesystem::path> sendFiles;
    bool clipboard = false; // keep this display's clipboard in step with the remote one
    bool verbose = false;
    std::optional<long> frames, seconds;
};

// The person's choice of target: a device of the account, or a device code and password.
struct Target {
    std::string deviceID;
    std::optional<CloudRTCClient::Guest> guest;
};

Target connectTarget(const SessionFlags& flags) {
    if (flags.code.empty()) return Target{flags.deviceID, std::nullopt};
    return Target{"", CloudRTCClient::Guest{flags.code, secretOrPrompt(flags.password, "临时密码：")}};
}

// A picture that cannot be written is found out before connecting, not after the session.
std::optional<std::string> unwritableReason(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path file(path);
    fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    std::error_code error;
    if (!fs::is_directory(folder, error)) return "无法保存到 " + path + "：文件夹不存在，请换一个保存位置";
    if (fs::is_directory(file, error)) return "无法保存到 " + path + "：这是一个文件夹，请给出文件名";
    bool writable =
        access(folder.c_str(), W_OK) == 0 && (!fs::exists(file, error) || access(file.c_str(), W_OK) == 0);
    if (!writable) return "无法保存到 " + path + "：没有写入权限，请换一个保存位置";
    return std::nullopt;
}

int savePicture(const VideoFrameStore& frames, const std::string& path) {
    auto [frame, version] = frames.read();
    if (!frame || !frame->bgra) {
        std::fprintf(stderr, "没有可保存的画面\n");
        return kFailed;
    }
    auto written = writePng(path, frame->bgra->data(), frame->width, frame->height, frame->stride);
    if (!written) {
        std::fprintf(stderr, "%s\n", written.error().c_str());
        return kFailed;
    }
    printLine("已保存 " + path + " " + std::to_string(frame->width) + "x" + std::to_string(frame->height));
    return 0;
}

// The LAN hosts this device has met, kept with the other settings.
struct LANStores {
    UserDefaults defaults{appConfigDir() / "defaults.json"};
    MacLANTrust hosts{defaults, kLANKnownHostsKey};
};

// The device to show before the service names it: the account's record, or a placeholder.
MacDevice targetDevice(const MacAccount& account, const SessionFlags& flags) {
    if (!flags.code.empty())
        return {"guest", "设备码连接", "android", true, MacCapabilities{true, true, true}, true};
    if (!flags.lan.empty()) return {"lan", flags.lan, "macos", true, MacCapabilities{true, true, true}, true};
    for (const auto& device : account.devices())
        if (device.id == flags.deviceID) return device;
    return {flags.deviceID, flags.deviceID, "", true, MacCapabilities{true, true, true}, true};
}

MacRemoteSession::ClientFactory clientFactory(const MacServiceConfig& service, const SessionFlags& flags) {
    CloudRTCClient::Options options;
    options.caFile = service.caFile;
    options.iceAddresses = flags.iceAddresses;
    options.makePathMonitor = [] { return std::make_unique<LinuxNetworkPathMonitor>(); };
    return [options](CloudAccess access, std::string target, std::optional<CloudRTCClient::Guest> guest,
                     std::optional<std::string> lane) {
        return CloudRTCClient::create(std::move(access), std::move(target), std::move(guest), std::move(lane),
                                      options);
    };
}

// One line per change of what the session shows.
std::vector<Subscription> printSession(const MacRemoteSession& session) {
    const MacRemoteSessionState& state = session.state();
    std::vector<Subscription> printing;
    printing.push_back(state.status.observe([](const std::string& text) { printLine("状态 " + text); }));
    printing.push_back(state.device.observe([](const MacDevice& device) {
        printLine("目标 " + displaySafe(device.name) + " " + displaySafe(device.platform) +
                  (device.capabilities.inputReady ? "" : " 仅查看"));
    }));
    printing.push_back(state.frameSize.observe([](const std::optional<std::string>& size) {
        if (size) printLine("画面 " + *size);
    }));
    printing.push_back(state.route.observe([](const std::optional<RTCMediaRoute>& route) {
        if (route) printLine("状态 已连接 · " + routeTitle(*route));
    }));
    for (auto& subscription : printTransfer(state.transferNote, state.transferProgress))
        printing.push_back(std::move(subscription));
    return printing;
}

// Over the LAN, a host that asks for its pairing password (or refuses a wrong one) gets it typed
// at the terminal, up to three times; without a terminal the refusal ends the command.
struct LANPasswordPrompt {
    static constexpr int kAttempts = 3;
    bool asking = false;
    int attempts = 0;
};

std::shared_ptr<LANPasswordPrompt> promptForLANPassword(const std::shared_ptr<MacRemoteSession>& session,
                                                        std::vector<Subscription>& keep) {
    auto prompt = std::make_shared<LANPasswordPrompt>();
    if (isatty(STDIN_FILENO) != 1) return prompt;
    std::weak_ptr<MacRemoteSession> weak = session;
    keep.push_back(session->state().needsPassword.observe([prompt, weak](bool needed) {
        if (!needed || prompt->asking || prompt->attempts >= LANPasswordPrompt::kAttempts) return;
        prompt->asking = true;
        ++prompt->attempts;
        // Typing blocks: it happens off the main queue, and the password hops back.
        std::thread([prompt, weak] {
            std::string password = secretOrPrompt("", "配对密码：");
            mainQueue().post([prompt, weak, password] {
                prompt->asking = false;
                auto session = weak.lock();
                if (session && !password.empty()) session->retryLAN(password);
            });
        }).detach();
    }));
    return prompt;
}

// Files that cannot be sent are found out before connecting.
std::optional<std::string> unsendableReason(const std::vector<std::filesystem::path>& files) {
    for (const auto& file : files) {
        std::error_code error;
        auto status = std::filesystem::status(file, error);
        std::string name = displaySafe(file.string());
        if (!std::filesystem::exists(status)) return "无法发送 " + name + "：文件不存在";
        if (std::filesystem::is_directory(status)) return "无法发送 " + name + "：暂不支持发送文件夹";
        if (access(file.c_str(), R_OK) != 0) return "无法发送 " + name + "：没有读取权限";
    }
    return std::nullopt;
}

// Sends the files once the picture shows, the remote side allows transfer and the route is known
// (the size limit depends on it), or, when one of them never comes, after a grace period, which
// yields the reason; done when each file was delivered or given up.
struct SendRun {
    static constexpr Millis kGrace{5'000};
    std::vector<std::filesystem::path> files;
    bool sent = false;
    bool done = false;
    bool failed = false;
    Timer grace;
};

void sendNow(const std::shared_ptr<SendRun>& run, MacRemoteSession& session) {
    if (run->sent) return;
    run->sent = true;
    run->grace.cancel();
    session.sendFiles(run->files);
    const std::string& note = session.state().transferNote.get();
    if (note == MacRemoteSession::kNoTransferLink || note == MacRemoteSession::kTransferDisabled)
        run->done = run->failed = true;
}

std::shared_ptr<SendRun> sendWhenReady(const std::shared_ptr<MacRemoteSession>& session,
                                       std::vector<std::filesystem::path> files,
                                       std::vector<Subscription>& keep) {
    auto run = std::make_shared<SendRun>(SendRun{std::move(files)});
    std::weak_ptr<MacRemoteSession> weak = session;
    auto check = [run, weak] {
        auto session = weak.lock();
        if (!session || run->sent) return;
        const MacRemoteSessionState& state = session->state();
        if (!state.frameSize.get()) return;
        if (state.remoteTransferEnabled.get() && state.route.get()) return sendNow(run, *session);
        if (!run->grace.active())
            run->grace = mainQueue().after(SendRun::kGrace, [run, weak] {
                if (auto session = weak.lock()) sendNow(run, *session);
            });
    };
    const MacRemoteSessionState& state = session->state();
    keep.push_back(state.frameSize.observe([check](const auto&) { check(); }));
    keep.push_back(state.remoteTransferEnabled.observe([check](bool) { check(); }));
    keep.push_back(state.route.observe([check](const auto&) { check(); }));
    keep.push_back(state.filesSettled.observe([run, weak](int settled) {
        auto session = weak.lock();
        if (!session || !run->sent || settled < int(run->files.size())) return;
        run->done = true;
        run->failed = session->state().filesDelivered.get() < int(run->files.size());
    }));
    return run;
}

// Plays the input script through the translator once the picture shows.
struct ScriptRun {
    ControllerInputTranslator translator;
    std::optional<InputScriptPlayer> player;
    bool done = false;
};

std::shared_ptr<ScriptRun> playWhenShown(const std::shared_ptr<MacRemoteSession>& session, InputScript script,
                                         std::vector<Subscription>& keep) {
    std::weak_ptr<MacRemoteSession> weak = session;
    auto run = std::make_shared<ScriptRun>(ScriptRun{ControllerInputTranslator([weak](Json message) {
        if (auto session = weak.lock()) session->sendControl(std::move(message));
    })});
    keep.push_back(
        session->state().frameSize.observe([run, weak, script](const std::optional<std::string>& size) {
            auto session = weak.lock();
            if (!size || run->player || !session) return;
            run->translator.setTarget(session->state().device.get());
            run->player.emplace(script, run->translator, mainQueue());
            run->player->start([run] {
                run->translator.focusLost();
                run->done = true;
                printLine("状态 输入脚本已完成");
            });
        }));
    return run;
}

int connect(const CliOptions& options, const SessionFlags& flags) {
    if (!flags.savePath.empty())
        if (auto reason = unwritableReason(flags.savePath)) {
            std::fprintf(stderr, "%s\n", reason->c_str());
            return kFailed;
        }
    std::optional<InputScript> script;
    if (!flags.inputScript.empty()) {
        auto read = InputScript::read(flags.inputScript);
        if (!read) return usageError(read.error());
        script = std::move(read.value());
    }
    if (auto reason = unsendableReason(flags.sendFiles)) {
        std::fprintf(stderr, "%s\n", reason->c_str());
        return kFailed;
    }
    std::shared_ptr<Clipboard> clipboard;
    if (flags.clipboard && !(clipboard = X11Clipboard::open())) {
        std::fprintf(stderr, "无法使用剪贴板：请确认 DISPLAY 指向正在运行的 X 服务器\n");
        return kFailed;
    }
    if (!ShareLock::acquire()) {
        std::fprintf(stderr, "%s\n", MacModel::kStopSharingFirst);
        return kFailed;
    }
    auto target = connectTarget(flags);
    installInterruptHandlers();
    ConnectionDiagnostics::shared().setSink([verbose = flags.verbose](const std::string& text) {
        if (verbose) printLine(text);
        MacLog::shared().log("连接 " + text);
    });
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        auto known = std::make_shared<LANStores>();
        auto begin = [&account, &keys = context.keys, service = context.service, flags, target, script, known,
                      clipboard, finish](MacResult<void>) {
            auto log = [](const std::string& line) { MacLog::shared().log(line); };
            auto session = MacRemoteSession::create(targetDevice(account, flags),
                                                    {mainQueue(), clientFactory(service, flags), log,
                                                     [] { return proxyTunInterface(); }, &keys, &known->hosts,
                                                     clipboard});
            auto printing = std::make_shared<std::vector<Subscription>>(printSession(*session));
            auto scriptRun = script ? playWhenShown(session, *script, *printing) : nullptr;
            auto sendRun =
                flags.sendFiles.empty() ? nullptr : sendWhenReady(session, flags.sendFiles, *printing);
            // The local clipboard goes over whenever it changes; what arrives is written to it.
            auto clipboardPush = std::make_shared<Timer>();
            if (clipboard)
                *clipboardPush =
                    mainQueue().every(MacClipboardWatcher::kPollInterval, MacClipboardWatcher::kPollInterval,
                                      [weak = std::weak_ptr(session)] {
                                          if (auto session = weak.lock()) session->pushClipboard();
                                      });
            auto lanPrompt = promptForLANPassword(session, *printing);
            if (auto lan = endpoint(flags.lan)) {
                session->connectLAN(*lan, flags.lanPassword.empty() ? std::nullopt
                                                                    : std::optional(flags.lanPassword));
            } else {
                account.validCredentials([session, service, target, finish](MacResult<MacCredentials> valid) {
                    if (!valid) return finish(reportFailure(valid.failure()));
                    const MacCredentials& credentials = valid.value();
                    session->connectCloud({service.mapBase(credentials.base), credentials.accountToken,
                                           credentials.deviceID, credentials.deviceToken},
                                          target.guest);
                });
            }
            auto finished = [session, scriptRun, sendRun, lanPrompt, frames = flags.frames] {
                if (!session->state().failure.get().empty() && !lanPrompt->asking) return true;
                auto client = session->client();
                bool enoughFrames = !frames || (client && client->frames.read().second >= uint64_t(*frames));
                bool scriptDone = !scriptRun || scriptRun->done;
                bool sendDone = !sendRun || sendRun->done;
                return (frames || scriptRun || sendRun) && enoughFrames && scriptDone && sendDone;
            };
            pollUntil(flags.seconds, finished,
                      [session, printing, scriptRun, sendRun, clipboardPush, flags, known, finish] {
                          int code = 0;
                          const std::string& failure = session->state().failure.get();
                          auto client = session->client();
                          uint64_t received = client ? client->frames.read().second : 0;
                          if (!failure.empty()) {
                              std::fprintf(stderr, "%s\n", failure.c_str());
                              code = kFailed;
                          } else if (flags.frames && received < uint64_t(*flags.frames)) {
                              std::fprintf(stderr, "画面不足：未在时限内收到 %ld 帧\n", *flags.frames);
                              code = kFailed;
                          } else if (scriptRun && !scriptRun->done) {
                              std::fprintf(stderr, "输入脚本未能在时限内完成\n");
                              code = kFailed;
                          } else if (sendRun && (!sendRun->done || sendRun->failed)) {
                              std::fprintf(stderr, sendRun->done ? "有文件未能发送，原因见上方“传输”行\n"
                                                                 : "文件未能在时限内发送完\n");
                              code = kFailed;
                          }
                          if (!flags.savePath.empty() && failure.empty() && client &&
                              savePicture(client->frames, flags.savePath) != 0)
                              code = kFailed;
                          if (scriptRun && scriptRun->player) scriptRun->player->stop();
                          clipboardPush->cancel();
                          session->close();
                          finishSoon(finish, code);
                      });
        };
        // Over the LAN the account service is not needed at all.
        if (!flags.lan.empty()) return begin(MacResult<void>());
        account.refreshDevices(begin);
    });
}

// A new device code with its temporary password, printed as "CODE<TAB>PASSWORD".
int pairing(const CliOptions& options) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        account.validCredentials(
            [&account, service = context.service, finish](MacResult<MacCredentials> valid) {
                if (!valid) return finish(reportFailure(valid.failure()));
                account.renew(valid.value(), [service, finish](MacResult<MacCredentials> renewed) {
                    if (!renewed) return finish(reportFailure(renewed.failure()));
                    const MacCredentials& credentials = renewed.value();
                    std::string password = hexEncode(crypto::randomBytes(8));
                    auto http = std::make_shared<MacHTTP>(service, mainQueue());
                    http->request(credentials.base, "/v1/devices/" + credentials.deviceID + "/pairing", "PUT",
                                  credentials.deviceToken, Json{{"password", password}},
                                  [http, password, finish](MacResult<Json> reply) {
                                      if (!reply) return finish(reportFailure(reply.failure()));
                                      printLine(field::string(reply.value(), "code", "") + "\t" + password);
                                      finish(0);
                                  });
                });
            });
    });
}

} // namespace

void addSessionCommands(CLI::App& app, const CliOptions& options, int& exitCode) {
    auto flags = std::make_shared<SessionFlags>();
    auto connect = app.add_subcommand("connect", "连接一台设备并接收它的画面");
    auto device = connect->add_option("DEVICE_ID", flags->deviceID, "账号里设备的 ID（见 devices）");
    auto code = connect->add_option("--code", flags->code, "对方给出的 9 位设备码");
    connect->add_option("--password", flags->password,
                        "对方给出的临时密码；省略时从终端（不回显）或标准输入读取。写在命令行上不安全");
    auto lan = connect->add_option("--lan", flags->lan, "不经过服务，直连局域网里的电脑：地址[:端口]");
    connect->add_option("--lan-password", flags->lanPassword, "对方“共享”页上的配对密码（首次连接时需要）");
    device->excludes(code);
    lan->excludes(device);
    lan->excludes(code);
    connect->add_option("--save", flags->savePath, "结束时把收到的画面存为 PNG 文件");
    connect->add_option("--frames", flags->frames, "收到这么多帧后结束")->check(nonNegativeNumber());
    connect->add_option("--seconds", flags->seconds, "最多连接这么多秒")->check(nonNegativeNumber());
    connect->add_option("--ice-address", flags->iceAddresses, "只在这个本机地址上建立连接（可重复）");
    connect->add_option(
        "--input-script", flags->inputScript,
        "画面出现后按脚本发送鼠标和键盘操作：每行一个 move X Y、click [left|right]、drag X1 Y1 X2 Y2、"
        "scroll DX DY、type 文字、key 键名 [ctrl|shift|alt|super]...、wait 毫秒；坐标是画面的比例 "
        "0..1，# 开头为注释");
    connect->add_option("--send", flags->sendFiles,
                        "连接后把这些文件发给对方（存到对方的“下载/Quorlinth”），"
                        "全部送达或被拒后结束");
    connect->add_flag("--clipboard", flags->clipboard,
                      "连接期间让本机（DISPLAY 指定的显示器）和对方的剪贴板保持一致");
    connect->add_flag("--verbose", flags->verbose, "在终端显示连接诊断（RTC 开头的行）；它们总会写进日志");
    connect->callback([&options, &exitCode, flags, device, code, lan] {
        if (device->count() + code->count() + lan->count() == 0)
            throw CLI::RequiredError("DEVICE_ID、--code 或 --lan");
        if (lan->count() && !endpoint(flags->lan))
            throw CLI::ValidationError("--lan", "不是有效的地址，例如 192.168.1.20 或 192.168.1.20:47120");
        exitCode = cli::connect(options, *flags);
    });
    app.add_subcommand("pairing", "生成设备码和临时密码，输出为 设备码<TAB>密码")
        ->callback([&options, &exitCode] { exitCode = pairing(options); });
}

} // namespace quorlinth::cli
