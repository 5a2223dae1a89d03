#include "app/cli/AccountCommands.h"

#include "app/cli/CliAccount.h"

#include <cstdio>

namespace quorlinth::cli {

namespace {

void printIdentity(const MacCredentials& credentials) {
    std::printf("%s\t%s\n", credentials.username.c_str(), credentials.deviceID.c_str());
}

int login(const CliOptions& options, const std::vector<std::string>& args) {
    return runWithAccount(options, [&](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        account.login(args[0], args[1], [&account, finish](MacResult<void> done) {
            if (!done && !account.credentials()) return finish(reportFailure(done.failure()));
            // A failed device-list refresh leaves the sign-in in place; say so, but succeed.
            if (!done) reportFailure(done.failure());
            printIdentity(*account.credentials());
            finish(0);
        });
    });
}

int devices(const CliOptions& options, const std::vector<std::string>&) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        account.refreshDevices([&account, finish](MacResult<void> done) {
            if (!done) return finish(reportFailure(done.failure()));
            for (const MacDevice& device : account.devices())
                std::printf("%s\t%s\t%s\t%s\n", device.id.c_str(), device.name.c_str(),
                            device.platform.c_str(), device.statusText().c_str());
            finish(0);
        });
    });
}

int logout(const CliOptions& options, const std::vector<std::string>&) {
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

int whoami(const CliOptions& options, const std::vector<std::string>&) {
    return runWithAccount(options, [](CliAccountContext context, std::function<void(int)> finish) {
        MacAccount& account = context.account;
        if (!account.credentials()) return finish(reportFailure(MacFailure::message("请先登录账号")));
        printIdentity(*account.credentials());
        finish(0);
    });
}

} // namespace

std::vector<CliCommand> accountCommands() {
    return {
        {"login", "USERNAME PASSWORD", "sign in and bind this device", 2, login},
        {"devices", "", "list the account's devices: id, name, platform, status", 0, devices},
        {"logout", "", "sign out and unbind this device", 0, logout},
        {"whoami", "", "print the user name and this device's id", 0, whoami},
    };
}

} // namespace quorlinth::cli
