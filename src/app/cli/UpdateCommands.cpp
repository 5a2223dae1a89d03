#include "app/cli/UpdateCommands.h"

#include "app/cli/CliAccount.h"
#include "base/MainQueue.h"
#include "log/MacLog.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"
#include "updates/MacLogUpload.h"
#include "updates/MacUpdates.h"
#include "updates/TerminalUpdate.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace quorlinth::cli {

namespace {

int update(const CliOptions& options, bool checkOnly) {
    RunLoop loop;
    installMainQueue(&loop);
    UserDefaults defaults(appConfigDir() / "defaults.json");
    MacServiceConfig service = MacServiceConfig::load(defaults);
    auto updaterOptions = MacUpdates::systemOptions();
    updaterOptions.downloadBase = MacUpdates::downloadBaseOf(options.service.value_or(service.apiBaseURL));
    updaterOptions.caFile = service.caFile;
    updaterOptions.relaunch = ""; // an update from the terminal does not start the desktop application
    auto updates = MacUpdates::create(defaults, updaterOptions, loop);
    int code = kFailed;
    runTerminalUpdate(*updates, checkOnly, printLine, [&](int result) {
        code = result;
        loop.quit();
    });
    loop.run();
    return code;
}

int uploadLog(const CliOptions& options) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        runTerminalLogUpload(
            MacLogUpload::create(context.account, MacLog::shared(), mainQueue()), printLine,
            [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }, finish);
    });
}

} // namespace

void addUpdateCommands(CLI::App& app, const CliOptions& options, int& exitCode) {
    auto checkOnly = std::make_shared<bool>(false);
    auto update = app.add_subcommand("update", "检查新版本，下载、校验（大小、SHA-256 和签名）并安装");
    update->add_flag("--check", *checkOnly, "只检查，不下载");
    update->callback([&options, &exitCode, checkOnly] { exitCode = cli::update(options, *checkOnly); });
    app.add_subcommand("upload-log", "把最近的日志发给服务，显示日志编号供支持人员查找")
        ->callback([&options, &exitCode] { exitCode = uploadLog(options); });
}

} // namespace quorlinth::cli
