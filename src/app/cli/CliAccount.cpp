#include "app/cli/CliAccount.h"

#include "base/MainQueue.h"
#include "store/KeyStore.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"

#include <cstdio>

namespace quorlinth::cli {

int runWithAccount(const CliOptions& options,
                   const std::function<void(CliAccountContext, std::function<void(int)> finish)>& operation) {
    RunLoop loop;
    installMainQueue(&loop);
    UserDefaults defaults(appConfigDir() / "defaults.json");
    MacServiceConfig service = MacServiceConfig::load(defaults);
    if (options.service) {
        auto caFile = service.caFile;
        service = MacServiceConfig::single(*options.service);
        service.caFile = caFile;
    }
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

int reportFailure(const MacFailure& failure) {
    std::fprintf(stderr, "%s\n", failure.localizedDescription().c_str());
    return kFailed;
}

} // namespace quorlinth::cli
