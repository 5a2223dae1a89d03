#include "app/cli/SessionCommands.h"

#include "account/MacHTTP.h"
#include "app/cli/CliAccount.h"
#include "app/cli/PngFile.h"
#include "base/Encoding.h"
#include "controller/CloudRTCClient.h"
#include "controller/ConnectionDiagnostics.h"
#include "crypto/Random.h"
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
        if (word.rfind("--", 0) != 0) {
            flags.positional.push_back(word);
        } else if (!(given = value())) {
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
        {"connect",
         "DEVICE_ID | --code CODE --password PASSWORD [--save FILE.png] [--frames N] [--seconds S] "
         "[--ice-address A]...",
         "connect to a device and receive its screen", CliCommand::kFlags, connect},
        {"pairing", "", "issue a device code and temporary password: CODE<TAB>PASSWORD", 0, pairing},
    };
}

} // namespace quorlinth::cli
