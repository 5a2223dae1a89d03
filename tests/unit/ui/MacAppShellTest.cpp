#include "ui/MacAppShell.h"

#include "ModelHarness.h"
#include "QtTestApplication.h"
#include "ui/MacContentView.h"
#include "ui/MacTrayItem.h"

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <gtest/gtest.h>
#include <variant>

using namespace quorlinth;
using quorlinth::testing::ModelHarness;

namespace {

// The shell over the model harness; `terminate` records what had happened by the time the
// application was told to end.
struct ShellHarness {
    struct Ending {
        bool sharing = true;
        bool hostStopped = false;
        std::vector<InputEvent> input;
    };

    ShellHarness() {
        quorlinth::testing::qtApplication();
        model = h.makeModel();
        shell = std::make_unique<MacAppShell>(
            MacAppShell::Parts{*model, h.account, h.loop, *h.defaults, [this] { terminated(); }});
    }

    void terminated() {
        Ending ending;
        ending.sharing = model->state().sharing.get();
        ending.hostStopped = !h.hosts.empty() && h.hosts.back()->stopped;
        ending.input = h.injector.events;
        endings.push_back(ending);
    }

    ModelHarness h;
    std::shared_ptr<MacModel> model;
    std::unique_ptr<MacAppShell> shell;
    std::vector<Ending> endings;
};

} // namespace

TEST(MacAppShell, ClosingTheLastWindowDoesNotQuit) {
    ShellHarness s;
    QApplication& app = quorlinth::testing::qtApplication();
    s.shell->showMain();
    ASSERT_TRUE(s.shell->mainWindow()->isVisible());
    // Had closing the window quit the loop, exec would return 0 before the second timer.
    QTimer::singleShot(0, &app, [&] { s.shell->mainWindow()->close(); });
    QTimer::singleShot(300, &app, [&] { QApplication::exit(42); });
    EXPECT_EQ(QApplication::exec(), 42);
    // Hidden behind the tray item, or minimized where there is no tray to come back from.
    QWidget* window = s.shell->mainWindow();
    EXPECT_TRUE(!window->isVisible() || window->isMinimized());
    EXPECT_TRUE(s.endings.empty());
}

TEST(MacAppShell, QuitReleasesInputAndEndsTheShareBeforeTerminatingOnce) {
    ShellHarness s;
    auto& host = s.h.share();
    s.model->setAllowInput(true);
    host.callbacks.onInput(R"({"type":"keycode","code":12,"down":true})");
    ASSERT_TRUE(s.h.runUntil([&] { return !s.h.injector.events.empty(); }));

    s.shell->quit();
    s.shell->quit();
    ASSERT_TRUE(s.h.runUntil([&] { return !s.endings.empty(); }));
    s.h.loop.runFor(Millis(100));
    ASSERT_EQ(s.endings.size(), 1u);
    const auto& ending = s.endings[0];
    EXPECT_FALSE(ending.sharing);
    EXPECT_TRUE(ending.hostStopped);
    ASSERT_FALSE(ending.input.empty());
    const auto* last = std::get_if<KeyEvent>(&ending.input.back());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->code, 12);
    EXPECT_FALSE(last->down);
    EXPECT_TRUE(s.shell->quitting());
    EXPECT_FALSE(s.shell->mainWindow()->isVisible());
}

TEST(MacTrayItem, StatusLineFollowsSharing) {
    struct Case {
        bool sharing;
        bool stopping;
        const char* line;
    };
    const Case cases[] = {
        {false, false, "未共享"},
        {true, false, "正在共享这台电脑"},
        {false, true, "正在停止…"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MacTrayItem::statusLine(c.sharing, c.stopping).toStdString(), c.line);
}

TEST(MacAppShell, TheTrayMenuFollowsTheShare) {
    ShellHarness s;
    QAction* status = s.shell->trayItem()->menu()->actions().front();
    EXPECT_EQ(status->text().toStdString(), "未共享");
    s.h.share();
    EXPECT_EQ(status->text().toStdString(), "正在共享这台电脑");
}
