#include "app/MallocArenas.h"
#include "app/VirtualDisplayChild.h"
#include "app/cli/AccountCommands.h"
#include "app/cli/CliCommand.h"
#include "app/cli/CliParsing.h"
#include "app/cli/LanCommands.h"
#include "app/cli/SessionCommands.h"
#include "app/cli/ShareCommands.h"
#include "app/cli/UpdateCommands.h"
#include "controller/ConnectionDiagnostics.h"
#include "log/MacLog.h"
#include "platform/linux/SyslogSystemLog.h"

#include <CLI/CLI.hpp>
#include <cstdio>

using namespace quorlinth::cli;

int main(int argc, char** argv) {
    quorlinth::limitMallocArenas();
    // `share` starts this program again as the child that owns a virtual display.
    if (auto status = quorlinth::runVirtualDisplayChildIfAsked(argc, argv)) return *status;
    // Connection diagnostics also reach the system log, where support looks; never from tests.
    if (!quorlinth::runningUnderTestHarness())
        quorlinth::ConnectionDiagnostics::shared().setSystemLog(
            std::make_shared<quorlinth::SyslogSystemLog>());

    CLI::App app("Quorlinth 命令行：共享这台设备、连接其他设备、管理账号", "quorlinth-cli");
    useChineseTexts(app);
    app.set_version_flag("--version", "quorlinth-cli 0.1.0", "显示版本并退出");
    app.require_subcommand(1);
    CliOptions options;
    app.add_option("--service", options.service,
                   "使用这个账号服务（基础地址，例如 https://127.0.0.1:47180）");
    int exitCode = 0;
    for (CommandGroup group :
         {addAccountCommands, addShareCommands, addSessionCommands, addLanCommands, addUpdateCommands})
        group(app, options, exitCode);
    app.add_subcommand("version", "显示版本")->callback([] { std::printf("quorlinth-cli 0.1.0\n"); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done); // --help and --version print to standard output
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "%s\n", usageErrorText(app, error).c_str());
        return 2;
    }
    return exitCode;
}
