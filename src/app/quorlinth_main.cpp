#include "app/MallocArenas.h"
#include "app/VirtualDisplayChild.h"
#include "app/X11Desktop.h"
#include "app/cli/ShareLock.h"
#include "base/MainQueue.h"
#include "base/WallClock.h"
#include "controller/CloudRTCClient.h"
#include "controller/ConnectionDiagnostics.h"
#include "log/MacLog.h"
#include "log/MachineFacts.h"
#include "log/X11DisplayFacts.h"
#include "model/MacModel.h"
#include "platform/linux/AvahiServiceDiscovery.h"
#include "platform/linux/LinuxNetworkPathMonitor.h"
#include "platform/linux/LogindPowerManagement.h"
#include "platform/linux/SyslogSystemLog.h"
#include "platform/linux/X11Clipboard.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "store/KeyStore.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"
#include "ui/MacAppShell.h"
#include "ui/QtMainQueue.h"
#include "ui/QtPrompter.h"
#include "updates/MacUpdates.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

// The windowed application's composition root: the Linux backends under the shared model, the
// Qt event loop as the main queue, and the shell's windows over it.
namespace quorlinth {

namespace {

constexpr Millis kVirtualDisplayReplyTimeout{8000};

int signalPipe[2] = {-1, -1};

// SIGTERM (the session ending) and SIGINT quit like the menu does: sharing ends first. The
// handler only writes a byte; the event loop picks it up.
void quitOnSignals(MacAppShell& shell, QObject& owner) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &owner);
    QObject::connect(notifier, &QSocketNotifier::activated, &owner, [&shell] {
        char byte;
        [[maybe_unused]] auto got = ::read(signalPipe[1], &byte, 1);
        shell.quit();
    });
    auto handler = [](int) {
        char byte = 1;
        [[maybe_unused]] auto put = ::write(signalPipe[0], &byte, 1);
    };
    std::signal(SIGTERM, handler);
    std::signal(SIGINT, handler);
}

std::string selfExecutable() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

void log(const std::string& line) {
    MacLog::shared().log(line);
}

// Controller clients for the remote windows; `iceAddresses` adds local addresses to gather on
// (loopback inside a test's private network namespace).
MacRemoteSession::ClientFactory clientFactory(const MacServiceConfig& config,
                                              std::vector<std::string> iceAddresses) {
    CloudRTCClient::Options options;
    options.caFile = config.caFile;
    options.iceAddresses = std::move(iceAddresses);
    options.makePathMonitor = [] { return std::make_unique<LinuxNetworkPathMonitor>(); };
    return [options](CloudAccess access, std::string target, std::optional<CloudRTCClient::Guest> guest,
                     std::optional<std::string> lane) {
        return CloudRTCClient::create(std::move(access), std::move(target), std::move(guest), std::move(lane),
                                      options);
    };
}

std::shared_ptr<MacUpdates> makeUpdates(UserDefaults& defaults, const MacServiceConfig& config,
                                        Dispatcher& main) {
    auto options = MacUpdates::systemOptions();
    options.downloadBase = MacUpdates::downloadBaseOf(config.apiBaseURL);
    options.caFile = config.caFile;
    return MacUpdates::create(defaults, options, main);
}

std::vector<std::string> toStrings(const QStringList& list) {
    std::vector<std::string> strings;
    for (const QString& item : list)
        strings.push_back(item.toStdString());
    return strings;
}

// Qt's own parse errors are English: say in Chinese which option is wrong.
QString usageError(const QCommandLineParser& parser) {
    if (!parser.unknownOptionNames().isEmpty()) {
        QString name = parser.unknownOptionNames().first();
        QString option = (name.size() > 1 ? QStringLiteral("--") : QStringLiteral("-")) + name;
        return QStringLiteral("未知的选项 %1，用 --help 查看可用选项").arg(option);
    }
    QString error = parser.errorText();
    qsizetype open = error.indexOf('\''), close = error.lastIndexOf('\'');
    if (open >= 0 && close > open)
        return QStringLiteral("选项 %1 缺少取值，用 --help 查看用法")
            .arg(error.mid(open + 1, close - open - 1));
    return QStringLiteral("选项有误，用 --help 查看用法");
}

int run(QApplication& app) {
    QCommandLineParser parser;
    QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("显示帮助并退出"));
    QCommandLineOption service(QStringLiteral("service"), QStringLiteral("账号服务的地址"),
                               QStringLiteral("URL"));
    QCommandLineOption atLogin(QStringLiteral("at-login"), QStringLiteral("登录桌面时启动：只显示托盘图标"));
    QCommandLineOption iceAddress(QStringLiteral("ice-address"),
                                  QStringLiteral("远程连接另外在这个本机地址上收集候选（可重复）"),
                                  QStringLiteral("IP"));
    QCommandLineOption connectTo(QStringLiteral("connect"),
                                 QStringLiteral("启动后打开账号中这台设备的远程窗口"),
                                 QStringLiteral("设备 ID"));
    parser.addOptions({help, service, atLogin, iceAddress, connectTo});
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "%s\n", usageError(parser).toUtf8().constData());
        return 2;
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text.replace(QStringLiteral("Usage:"), QStringLiteral("用法："));
        text.replace(QStringLiteral("Options:"), QStringLiteral("选项："));
        text.replace(QStringLiteral("[options]"), QStringLiteral("[选项]"));
        std::fputs(text.toUtf8().constData(), stdout);
        return 0;
    }

    QtMainQueue main;
    installMainQueue(&main);
    setDisplayFactsSource(queryX11DisplayFacts);
    log(MacLog::environmentLine());
    // Connection diagnostics also reach the system log, where support looks; never from tests.
    if (!quorlinth::runningUnderTestHarness())
        quorlinth::ConnectionDiagnostics::shared().setSystemLog(
            std::make_shared<quorlinth::SyslogSystemLog>());

    auto desktop = X11Desktop::open();
    if (!desktop) {
        QMessageBox::critical(
            nullptr, QStringLiteral("Quorlinth"),
            QStringLiteral("无法打开 X 显示器。请在 X11 桌面（或带 XWayland 的桌面）中启动 Quorlinth。"));
        return 1;
    }
    // One process per device home: a second one (this application again, or the command line
    // sharing) would fight over the same signaling socket and trusted devices.
    auto lock = cli::ShareLock::acquire();
    if (!lock) {
        QMessageBox::critical(nullptr, QStringLiteral("Quorlinth"),
                              QStringLiteral("Quorlinth 已经在运行，或这台电脑正由 quorlinth-cli share 共享。"
                                             "请先退出它，再打开 Quorlinth。"));
        return 1;
    }
    UserDefaults defaults(appConfigDir() / "defaults.json");
    MacServiceConfig config = MacServiceConfig::load(
        defaults,
        parser.value(service).isEmpty() ? std::nullopt : std::optional(parser.value(service).toStdString()));
    auto keys = std::make_shared<FileKeyStore>(appDataDir() / "keys" / "keys.json");
    auto account = MacAccount::create(keys, MacAccount::Options{config, {}, {}}, main);
    LogindPowerManagement power;
    XdgAutostartLoginItem loginItem({selfExecutable(), "--at-login"});
    QtPrompter prompter;
    MacShareHost::Options hostOptions;
    hostOptions.log = log;
    hostOptions.iceAddresses = toStrings(parser.values(iceAddress));
    AvahiServiceDiscovery discovery;
    auto updates = makeUpdates(defaults, config, main);
    MacCapture::Platform capture{
        *desktop->displays, *desktop->capture, *desktop->session,
        MacCapture::childProcessLauncher({selfExecutable(), kVirtualDisplayReplyTimeout, log}), log};
    MacModel::Platform platform{main,
                                defaults,
                                account,
                                *desktop->injector,
                                *desktop->sources,
                                capture,
                                power,
                                loginItem,
                                prompter,
                                serviceShareHosts(config, hostOptions),
                                log,
                                [&defaults] { return MacUpdates::takeResume(defaults, secondsSince1970()); }};
    platform.makeClient = clientFactory(config, toStrings(parser.values(iceAddress)));
    platform.lanKeys = keys.get();
    platform.discovery = &discovery;
    platform.clipboard = X11Clipboard::open();
    auto model = MacModel::create(platform);
    updates->resumeState = [weak = std::weak_ptr<MacModel>(model)]() -> std::optional<MacUpdateResume> {
        auto model = weak.lock();
        if (!model) return std::nullopt;
        return MacUpdateResume{model->state().sharing.get(), model->state().allowInput.get(),
                               secondsSince1970()};
    };

    MacAppShell shell({*model, account, main, defaults, [] { QApplication::quit(); }, updates});
    quitOnSignals(shell, main);
    // Started with the desktop session, the application waits in the tray; without a tray
    // the window is its only way in.
    if (!parser.isSet(atLogin) || !QSystemTrayIcon::isSystemTrayAvailable()) shell.showMain();
    model->restoreAtLaunch();
    model->activate();
    if (parser.isSet(connectTo)) shell.connectWhenListed(parser.value(connectTo).toStdString());
    int status = app.exec();
    log("退出");
    return status;
}

} // namespace

} // namespace quorlinth

int main(int argc, char** argv) {
    quorlinth::limitMallocArenas();
    if (auto status = quorlinth::runVirtualDisplayChildIfAsked(argc, argv)) return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorlinth"));
    QApplication::setApplicationVersion(QStringLiteral("0.1.0"));
    return quorlinth::run(app);
}
