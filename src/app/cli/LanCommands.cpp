#include "app/cli/LanCommands.h"

#include "app/cli/CliAccount.h"
#include "base/DisplayText.h"
#include "base/MainQueue.h"
#include "lan/MacLANBrowser.h"
#include "platform/linux/AvahiServiceDiscovery.h"

#include <CLI/CLI.hpp>
#include <avahi-client/client.h>
#include <avahi-common/simple-watch.h>
#include <cstdio>
#include <memory>

namespace quorlinth::cli {

namespace {

constexpr long kDefaultBrowseSeconds = 3;
constexpr long kMaxBrowseSeconds = 600;

constexpr const char* kDiscoveryNotRunning =
    "无法搜索局域网：系统的局域网发现服务（avahi-daemon）没有运行。请先启动它（例如 sudo systemctl start "
    "avahi-daemon），或用 connect --lan 地址 直接连接对方";
constexpr const char* kNothingFound =
    "没有发现正在共享的电脑：请确认对方已开启局域网直连并正在共享，且与这台电脑在"
    "同一网络；也可以用 connect --lan 地址 直接连接";

// The discovery backend waits quietly for a daemon that may start later, which suits a
// running share; a one-off listing asks once whether a daemon answers now.
bool discoveryDaemonAnswers() {
    std::unique_ptr<AvahiSimplePoll, void (*)(AvahiSimplePoll*)> poll(avahi_simple_poll_new(),
                                                                      avahi_simple_poll_free);
    if (!poll) return false;
    int error = 0;
    AvahiClient* client = avahi_client_new(
        avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), [](AvahiClient*, AvahiClientState, void*) {},
        nullptr, &error);
    if (!client) return false;
    avahi_client_free(client);
    return true;
}

// One line per computer: its name made safe for the terminal, a tab, and the address as
// connect --lan takes it.
void printFound(const std::vector<MacLANBrowser::Found>& found) {
    for (const auto& host : found)
        printLine(displaySafe(host.name) + "\t" + host.endpoint.text());
    if (found.empty()) std::fprintf(stderr, "%s\n", kNothingFound);
}

int listHosts(long seconds) {
    if (!discoveryDaemonAnswers()) {
        std::fprintf(stderr, "%s\n", kDiscoveryNotRunning);
        return kFailed;
    }
    RunLoop loop;
    installMainQueue(&loop);
    installInterruptHandlers();
    AvahiServiceDiscovery discovery;
    auto browser = MacLANBrowser::create(discovery, localComputerName(), &loop);
    browser->start();
    // Names come and go while browsing; the list is printed once, in its final order.
    pollUntil(
        seconds, [] { return false; },
        [&] {
            printFound(browser->found());
            loop.quit();
        });
    loop.run();
    return 0;
}

CLI::Validator browseSeconds() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            bool digits = !value.empty() && value.size() <= 3 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
            long number = digits ? std::stol(value) : 0;
            return number >= 1 && number <= kMaxBrowseSeconds ? std::string()
                                                              : "需要 1 到 600 之间的整数（秒）";
        },
        "N");
}

} // namespace

void addLanCommands(CLI::App& app, const CliOptions&, int& exitCode) {
    auto lan = app.add_subcommand("lan", "局域网直连：发现同一网络里正在共享的电脑");
    auto seconds = std::make_shared<long>(kDefaultBrowseSeconds);
    auto list = lan->add_subcommand(
        "list",
        "搜索局域网里正在共享的电脑，按名称排序，每行一台：名称<TAB>地址:端口（可直接用于 connect --lan）");
    list->add_option("--seconds", *seconds, "搜索这么多秒后列出（默认 3 秒）")->check(browseSeconds());
    list->callback([&exitCode, seconds] { exitCode = listHosts(*seconds); });
    lan->callback([&exitCode, lan] {
        if (lan->get_subcommands().empty())
            exitCode = usageError("lan: 缺少命令；可用的命令：list（加 --help 查看用法）");
    });
}

} // namespace quorlinth::cli
