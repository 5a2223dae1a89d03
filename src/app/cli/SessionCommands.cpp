#include "app/cli/SessionCommands.h"

#include "account/MacHTTP.h"
#include "app/cli/CliAccount.h"
#include "app/cli/PngFile.h"
#include "app/cli/X11DesktopShare.h"
#include "base/Encoding.h"
#include "capture/TestPattern.h"
#include "controller/CloudRTCClient.h"
#include "controller/ConnectionDiagnostics.h"
#include "crypto/Random.h"
#include "host/MacShareHost.h"
#include "log/MacLog.h"
#include "platform/linux/LinuxNetworkPathMonitor.h"

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

std::atomic<bool> interrupted{false};

void installInterruptHandlers() {
    std::signal(SIGINT, [](int) { interrupted = true; });
    std::signal(SIGTERM, [](int) { interrupted = true; });
}

// Prints one line at once: tests and people read the output as it happens.
void printLine(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Flags shared by the session commands; positional words are left in `positional`.
struct SessionFlags {
    std::vector<std::string> positional;
    std::set<std::string> trusted;
    bool acceptAll = false;
    bool forceRelay = false;
    MacShareQuality quality = MacShareQuality::sharp;
    // The X display named by DISPLAY; a machine without one shares the test pattern.
    std::string source = std::getenv("DISPLAY") ? "x11" : "pattern";
    bool allowInput = false;
    bool printControl = false;
    int patternWidth = 1920, patternHeight = 1080;
    std::vector<std::string> iceAddresses;
    std::optional<std::string> code, password, savePath;
    std::optional<long> frames, seconds;
};

std::optional<long> number(const std::string& text) {
    try {
        size_t used = 0;
        long value = std::stol(text, &used);
        if (used == text.size() && value >= 0) return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<SessionFlags> parseFlags(const std::vector<std::string>& words) {
    SessionFlags flags;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= words.size()) return std::nullopt;
            return words[++i];
        };
        std::optional<std::string> given;
        if (word == "--accept-all") {
            flags.acceptAll = true;
        } else if (word == "--relay") {
            flags.forceRelay = true;
        } else if (word == "--allow-input") {
            flags.allowInput = true;
        } else if (word == "--print-control") {
            flags.printControl = true;
        } else if (word.rfind("--", 0) != 0) {
            flags.positional.push_back(word);
        } else if (!(given = value())) {
            return std::nullopt;
        } else if (word == "--trust") {
            flags.trusted.insert(*given);
        } else if (word == "--quality") {
            auto quality = shareQualityFromRaw(*given);
            if (!quality) return std::nullopt;
            flags.quality = *quality;
        } else if (word == "--source") {
            flags.source = *given;
        } else if (word == "--pattern-size") {
            if (std::sscanf(given->c_str(), "%dx%d", &flags.patternWidth, &flags.patternHeight) != 2 ||
                flags.patternWidth < 2 || flags.patternHeight < 2)
                return std::nullopt;
        } else if (word == "--ice-address") {
            flags.iceAddresses.push_back(*given);
        } else if (word == "--code") {
            flags.code = *given;
        } else if (word == "--password") {
            flags.password = *given;
        } else if (word == "--save") {
            flags.savePath = *given;
        } else if (word == "--frames" || word == "--seconds") {
            auto parsed = number(*given);
            if (!parsed) return std::nullopt;
            (word == "--frames" ? flags.frames : flags.seconds) = parsed;
        } else {
            return std::nullopt;
        }
    }
    return flags;
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return 2;
}

// Asks the person at the terminal; no terminal means no.
void askOnTerminal(const MacShareHost::Request& request, std::function<void(bool)> decide) {
    if (!isatty(STDIN_FILENO)) return decide(false);
    std::printf("允许 %s%s 连接吗？[y/N] ", request.name.c_str(), request.guest ? "（设备码）" : "");
    std::fflush(stdout);
    std::thread([decide] {
        std::string answer;
        std::getline(std::cin, answer);
        bool allow = answer == "y" || answer == "Y" || answer == "yes";
        mainQueue().post([decide, allow] { decide(allow); });
    }).detach();
}

void logEverywhere(const std::string& text) {
    printLine(text);
    MacLog::shared().log(text);
}

// Checks Ctrl-C, the time bound and `finished` every 50 ms on the main queue; once one
// holds, runs `then` (once).
void pollUntil(std::optional<long> seconds, std::function<bool()> finished, std::function<void()> then) {
    auto deadline = seconds ? std::optional(Clock::now() + std::chrono::seconds(*seconds)) : std::nullopt;
    auto timer = std::make_shared<Timer>();
    *timer = mainQueue().every(Millis(50), Millis(50), [timer, deadline, finished, then] {
        if (!interrupted && !(deadline && Clock::now() >= *deadline) && !finished()) return;
        timer->cancel();
        then();
    });
}

// Gives the last messages (an "end", a close frame) a moment to leave before the process exits.
void finishSoon(std::function<void(int)> finish, int code) {
    mainQueue().postAfter(Millis(300), [finish, code] { finish(code); });
}

// The picture the host sends: the X display named by DISPLAY (with remote input when allowed)
// or the synthetic test pattern. Main queue.
class ShareSource {
public:
    static Result<std::shared_ptr<ShareSource>> open(const SessionFlags& flags,
                                                     std::shared_ptr<MacShareHost> host) {
        auto source = std::shared_ptr<ShareSource>(new ShareSource());
        if (flags.source == "pattern") {
            source->pattern = std::make_unique<TestPattern>(
                flags.patternWidth, flags.patternHeight, 30,
                [host](SharedPixels pixels) { host->cachePixels(std::move(pixels)); });
            return source;
        }
        X11DesktopShare::Hooks hooks;
        hooks.onPixels = [host](SharedPixels pixels) { host->cachePixels(std::move(pixels)); };
        hooks.onStatus = [](const std::string& text) { printLine("状态 " + text); };
        hooks.log = [](const std::string& text) { MacLog::shared().log(text); };
        auto desktop = X11DesktopShare::open(selfExecutable(), hooks);
        if (!desktop) return Error{desktop.error()};
        source->desktop = std::move(desktop.value());
        return source;
    }

    void start(const SessionFlags& flags, std::function<void(Result<void>)> done) {
        if (!desktop) return done(Result<void>());
        if (flags.allowInput) desktop->setAllowInput(true);
        desktop->start(flags.quality, std::move(done));
    }
    void stop() {
        if (desktop) desktop->stop();
        pattern.reset();
    }
    bool inputReady() const { return desktop && desktop->inputReady(); }
    void receiveControl(const std::string& message) {
        if (desktop) desktop->receiveControl(message);
    }
    void viewerLeft() {
        if (desktop) desktop->viewerLeft();
    }

private:
    ShareSource() = default;
    static std::string selfExecutable() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

    std::unique_ptr<TestPattern> pattern;
    std::unique_ptr<X11DesktopShare> desktop;
};

// The kind of a control message, for `--print-control`; never its content.
std::string controlType(const std::string& message) {
    auto object = parseJsonObject(message);
    std::string type = object ? field::string(*object, "type", "?") : "?";
    bool plain = type.size() <= 32 && std::all_of(type.begin(), type.end(), [](char c) {
                     return std::isalnum((unsigned char)c) || c == '_';
                 });
    return plain ? type : "?";
}

std::shared_ptr<MacShareHost> makeHost(const MacCredentials& credentials, const MacServiceConfig& service,
                                       const SessionFlags& flags) {
    MacShareHost::Options hostOptions;
    hostOptions.credentials = credentials;
    hostOptions.base = service.mapBase(credentials.base);
    hostOptions.caFile = service.caFile;
    hostOptions.quality = flags.quality;
    hostOptions.iceAddresses = flags.iceAddresses;
    if (flags.forceRelay) hostOptions.iceTransportPolicy = RTCIceTransportPolicy::relay;
    hostOptions.log = logEverywhere;
    auto host = MacShareHost::create(hostOptions);
    host->onRequest = [flags](MacShareHost::Request request, std::function<void(bool)> decide) {
        printLine("请求 " + request.name +
                  (request.guest ? " guest" : " controller=" + request.controllerID));
        bool trusted = !request.guest && flags.trusted.count(request.controllerID);
        if (flags.acceptAll || trusted) return decide(true);
        askOnTerminal(request, decide);
    };
    host->onConnect = [] { printLine("状态 已授权"); };
    return host;
}

// Routes the host's session events to the source; the host holds the source weakly.
void connectHostToSource(MacShareHost& host, const std::shared_ptr<ShareSource>& source, bool printControl) {
    std::weak_ptr<ShareSource> weak = source;
    host.inputReady = [weak] {
        auto source = weak.lock();
        return source && source->inputReady();
    };
    host.onInput = [weak, printControl](std::string message) {
        if (printControl) printLine("控制 " + controlType(message));
        if (auto source = weak.lock()) source->receiveControl(message);
    };
    host.onDisconnect = [weak] {
        printLine("状态 会话结束");
        if (auto source = weak.lock()) source->viewerLeft();
    };
}

int share(const CliOptions& options, const std::vector<std::string>& words) {
    auto flags = parseFlags(words);
    if (!flags || !flags->positional.empty()) return usageError("share: unknown or incomplete option");
    if (flags->source != "pattern" && flags->source != "x11")
        return usageError("share: --source is x11 (the display named by DISPLAY) or pattern");
    installInterruptHandlers();
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        context.account.validCredentials(
            [service = context.service, flags = *flags, finish](MacResult<MacCredentials> valid) {
                if (!valid) return finish(reportFailure(valid.failure()));
                auto host = makeHost(valid.value(), service, flags);
                auto source = ShareSource::open(flags, host);
                if (!source) {
                    std::fprintf(stderr, "%s\n", source.error().c_str());
                    return finish(kFailed);
                }
                connectHostToSource(*host, source.value(), flags.printControl);
                std::string deviceID = valid.value().deviceID;
                source.value()->start(
                    flags, [host, source = source.value(), flags, finish, deviceID](Result<void> started) {
                        if (!started) {
                            std::fprintf(stderr, "%s\n", started.error().c_str());
                            source->stop();
                            return finish(kFailed);
                        }
                        host->start();
                        printLine("共享已开始 device=" + deviceID + " source=" + flags.source);
                        pollUntil(
                            flags.seconds, [] { return false; },
                            [host, source, finish] {
                                host->stop();
                                source->stop();
                                finishSoon(finish, 0);
                            });
                    });
            });
    });
}

// The person's choice of target: a device of the account, or a device code and password.
struct Target {
    std::string deviceID;
    std::optional<CloudRTCClient::Guest> guest;
};

std::optional<Target> connectTarget(const SessionFlags& flags) {
    if (flags.code || flags.password) {
        if (!flags.code || !flags.password || !flags.positional.empty()) return std::nullopt;
        return Target{"", CloudRTCClient::Guest{*flags.code, *flags.password}};
    }
    if (flags.positional.size() != 1) return std::nullopt;
    return Target{flags.positional[0], std::nullopt};
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

int connect(const CliOptions& options, const std::vector<std::string>& words) {
    auto flags = parseFlags(words);
    auto target = flags ? connectTarget(*flags) : std::nullopt;
    if (!target) return usageError("connect: DEVICE_ID, or --code CODE --password PASSWORD");
    installInterruptHandlers();
    ConnectionDiagnostics::shared().setSink([](const std::string& text) {
        printLine(text);
        MacLog::shared().log("连接 " + text);
    });
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        context.account.validCredentials([service = context.service, flags = *flags, target = *target,
                                          finish](MacResult<MacCredentials> valid) {
            if (!valid) return finish(reportFailure(valid.failure()));
            const MacCredentials& credentials = valid.value();
            CloudAccess access{service.mapBase(credentials.base), credentials.accountToken,
                               credentials.deviceID, credentials.deviceToken};
            CloudRTCClient::Options clientOptions;
            clientOptions.caFile = service.caFile;
            clientOptions.iceAddresses = flags.iceAddresses;
            clientOptions.makePathMonitor = [] { return std::make_unique<LinuxNetworkPathMonitor>(); };
            auto client =
                CloudRTCClient::create(access, target.deviceID, target.guest, std::nullopt, clientOptions);
            auto failure = std::make_shared<std::optional<std::string>>();
            client->onStatus = [](std::string text) { printLine("状态 " + text); };
            client->onTarget = [](std::string name, std::string platform, bool viewOnly) {
                printLine("目标 " + name + " " + platform + (viewOnly ? " 仅查看" : ""));
            };
            client->onFrame = [](int width, int height) {
                printLine("画面 " + std::to_string(width) + "x" + std::to_string(height));
            };
            // Listening for routes keeps the route checks (and with them the video line) running.
            client->onRoute = [](std::optional<RTCMediaRoute> route) {
                if (route) printLine("状态 已连接 · " + routeTitle(*route));
            };
            client->onFailure = [failure](std::string text) { *failure = text; };
            client->start();
            auto enoughFrames = [client, frames = flags.frames] {
                return frames && client->frames.read().second >= uint64_t(*frames);
            };
            pollUntil(
                flags.seconds, [failure, enoughFrames] { return failure->has_value() || enoughFrames(); },
                [client, failure, enoughFrames, flags, finish] {
                    int code = 0;
                    if (*failure) {
                        std::fprintf(stderr, "%s\n", failure->value().c_str());
                        code = kFailed;
                    } else if (flags.frames && !enoughFrames()) {
                        std::fprintf(stderr, "画面不足：未在时限内收到 %ld 帧\n", *flags.frames);
                        code = kFailed;
                    }
                    if (flags.savePath && !*failure && savePicture(client->frames, *flags.savePath) != 0)
                        code = kFailed;
                    client->stop();
                    finishSoon(finish, code);
                });
        });
    });
}

// A new device code with its temporary password, printed as "CODE<TAB>PASSWORD".
int pairing(const CliOptions& options, const std::vector<std::string>&) {
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

std::vector<CliCommand> sessionCommands() {
    return {
        {"share",
         "[--accept-all] [--trust ID]... [--quality Q] [--source x11|pattern] [--allow-input] "
         "[--pattern-size WxH] "
         "[--ice-address A]... [--relay] [--print-control] [--seconds S]",
         "share this device's X display (or a test pattern) until Ctrl-C", CliCommand::kFlags, share},
        {"connect",
         "DEVICE_ID | --code CODE --password PASSWORD [--save FILE.png] [--frames N] [--seconds S] "
         "[--ice-address A]...",
         "connect to a device and receive its screen", CliCommand::kFlags, connect},
        {"pairing", "", "issue a device code and temporary password: CODE<TAB>PASSWORD", 0, pairing},
    };
}

} // namespace quorlinth::cli
