#include "app/cli/CliAccount.h"

#include "base/MainQueue.h"
#include "store/KeyStore.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"

#include <atomic>
#include <csignal>
#include <cstdio>

namespace quorlinth::cli {

int runWithAccount(const CliOptions& options,
                   const std::function<void(CliAccountContext, std::function<void(int)> finish)>& operation) {
    RunLoop loop;
    installMainQueue(&loop);
    UserDefaults defaults(appConfigDir() / "defaults.json");
    MacServiceConfig service = MacServiceConfig::load(defaults, options.service);
    auto keys = std::make_shared<FileKeyStore>(appDataDir() / "keys" / "keys.json");
    auto account = MacAccount::create(keys, MacAccount::Options{service, {}, {}}, loop);
    int exitCode = kFailed;
    bool finished = false;
    loop.post([&] {
        operation({*account, service, *keys}, [&](int code) {
            exitCode = code;
            finished = true;
            loop.quit();
        });
    });
    while (!finished)
        loop.run();
    return exitCode;
}

namespace {
std::atomic<bool> interrupted{false};
}

void printLine(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return 2;
}

void installInterruptHandlers() {
    std::signal(SIGINT, [](int) { interrupted = true; });
    std::signal(SIGTERM, [](int) { interrupted = true; });
}

void pollUntil(std::optional<long> seconds, std::function<bool()> finished, std::function<void()> then) {
    auto deadline = seconds ? std::optional(Clock::now() + std::chrono::seconds(*seconds)) : std::nullopt;
    auto timer = std::make_shared<Timer>();
    *timer = mainQueue().every(Millis(50), Millis(50), [timer, deadline, finished, then] {
        if (!interrupted && !(deadline && Clock::now() >= *deadline) && !finished()) return;
        timer->cancel();
        then();
    });
}

void finishSoon(std::function<void(int)> finish, int code) {
    mainQueue().postAfter(Millis(300), [finish, code] { finish(code); });
}

int reportFailure(const MacFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.localizedDescription().c_str());
    return kFailed;
}

} // namespace quorlinth::cli
