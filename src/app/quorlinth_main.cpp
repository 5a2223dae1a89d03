#include "app/VirtualDisplayChild.h"
#include "app/X11Desktop.h"
#include "base/MainQueue.h"
#include "controller/ConnectionDiagnostics.h"
#include "log/MacLog.h"
#include "log/MachineFacts.h"
#include "log/X11DisplayFacts.h"
#include "model/MacModel.h"
#include "platform/linux/LogindPowerManagement.h"
#include "platform/linux/SyslogSystemLog.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "store/KeyStore.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"
#include "ui/MacAppShell.h"
#include "ui/QtMainQueue.h"
#include "ui/QtPrompter.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <csignal>
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

int run(QApplication& app) {
    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption service(QStringLiteral("service"), QStringLiteral("账号服务的地址"),
                               QStringLiteral("URL"));
    QCommandLineOption atLogin(QStringLiteral("at-login"), QStringLiteral("登录桌面时启动：只显示托盘图标"));
    parser.addOptions({service, atLogin});
    parser.process(app);

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
    MacCapture::Platform capture{
        *desktop->displays, *desktop->capture, *desktop->session,
        MacCapture::childProcessLauncher({selfExecutable(), kVirtualDisplayReplyTimeout, log}), log};
    MacModel::Platform platform{
        main,    defaults, account,   *desktop->injector, *desktop->sources,
        capture, power,    loginItem, prompter,           serviceShareHosts(config, hostOptions),
        log,     {}};
    auto model = MacModel::create(platform);

    MacAppShell shell({*model, account, main, defaults, [] { QApplication::quit(); }});
    quitOnSignals(shell, main);
    // Started with the desktop session, the application waits in the tray; without a tray
    // the window is its only way in.
    if (!parser.isSet(atLogin) || !QSystemTrayIcon::isSystemTrayAvailable()) shell.showMain();
    model->restoreAtLaunch();
    model->activate();
    int status = app.exec();
    log("退出");
    return status;
}

} // namespace

} // namespace quorlinth

int main(int argc, char** argv) {
    if (auto status = quorlinth::runVirtualDisplayChildIfAsked(argc, argv)) return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorlinth"));
    QApplication::setApplicationVersion(QStringLiteral("0.1.0"));
    return quorlinth::run(app);
}
