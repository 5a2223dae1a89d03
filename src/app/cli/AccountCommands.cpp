#include "app/cli/AccountCommands.h"

#include "app/cli/CliAccount.h"
#include "app/cli/CliParsing.h"
#include "base/DisplayText.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

namespace quorlinth::cli {

namespace {

void printIdentity(const MacCredentials& credentials) {
    std::printf("%s\t%s\n", credentials.username.c_str(), credentials.deviceID.c_str());
}

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

} // namespace

void addAccountCommands(CLI::App& app, const CliOptions& options, int& exitCode) {
    auto credentials = std::make_shared<std::pair<std::string, std::string>>();
    auto login = app.add_subcommand("login", "登录账号并绑定这台设备");
    login->add_option("USERNAME", credentials->first, "用户名")->required();
    login->add_option(
        "PASSWORD", credentials->second,
        "密码；省略时从终端（不回显）或标准输入读取。写在命令行上不安全：其他用户能在进程列表里看到");
    login->callback([&options, &exitCode, credentials] {
        exitCode = cli::login(options, credentials->first, secretOrPrompt(credentials->second, "密码："));
    });
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
