#include "ui/MacRemoteWindow.h"

#include "ModelHarness.h"
#include "QtTestApplication.h"
#include "ui/AccountSignals.h"
#include "ui/MacConnectionSheet.h"
#include "ui/MacGuestSheet.h"
#include "ui/MacRemoteSessionView.h"
#include "ui/MacRemoteView.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ModelHarness;

namespace {

MacDevice device(const char* platform, bool inputReady = true) {
    return {"D2", "书房", platform, true, MacCapabilities{true, inputReady, true}, true};
}

// A session view over a session that is never dialled, in the model harness.
struct SessionHarness {
    explicit SessionHarness(MacDevice target = device("linux")) {
        quorlinth::testing::qtApplication();
        model = h.makeModel();
        session = MacRemoteSession::create(
            std::move(target),
            {h.loop, {}, [](const std::string&) {}, [] { return std::optional<std::string>(); }});
        view = std::make_unique<MacRemoteSessionView>(*model, session, *h.defaults);
        view->resize(1000, 700);
        view->show();
    }

    // Runs the Qt loop for a while.
    static void wait(int ms) {
        QTimer::singleShot(ms, [] { QApplication::exit(0); });
        QApplication::exec();
    }

    std::vector<QString> buttonTexts() const {
        std::vector<QString> texts;
        for (auto* button : view->controlStrip()->findChildren<QPushButton*>())
            if (button->isVisibleTo(view->controlStrip())) texts.push_back(button->text());
        return texts;
    }

    ModelHarness h;
    std::shared_ptr<MacModel> model;
    std::shared_ptr<MacRemoteSession> session;
    std::unique_ptr<MacRemoteSessionView> view;
};

} // namespace

TEST(MacRemoteSessionView, BadgesAndControlStripFollowTheDevice) {
    struct Case {
        MacDevice target;
        bool viewOnly;
        bool strip;
        bool stripEnabled;
        std::vector<QString> buttons;
    };
    const Case cases[] = {
        {device("linux"), false, true, true, {"Esc", "桌面", "窗口", "切换输入法", "发送文件…"}},
        {device("macos", false), true, false, false, {}},
        {device("ios"), true, false, true, {}},
        {device("android"), false, true, true, {"安卓返回", "安卓主页", "最近任务"}},
        {device("android", false), false, true, false, {"安卓返回", "安卓主页", "最近任务"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.platform + (c.target.capabilities.inputReady ? "" : " without input"));
        SessionHarness s(c.target);
        EXPECT_EQ(s.view->viewOnlyBadge()->isVisibleTo(s.view.get()), c.viewOnly);
        EXPECT_EQ(s.view->controlStrip()->isVisibleTo(s.view.get()), c.strip);
        if (!c.strip) continue;
        EXPECT_EQ(s.view->controlStrip()->isEnabled(), c.stripEnabled);
        EXPECT_EQ(s.buttonTexts(), c.buttons);
    }
}

TEST(MacRemoteSessionView, StatusCardWithoutPictureAndNoRouteBadgeBeforeIt) {
    SessionHarness s;
    EXPECT_TRUE(s.view->statusCard()->isVisible());
    EXPECT_FALSE(s.view->passwordPrompt()->isVisible());
    EXPECT_FALSE(s.view->routeBadge()->isVisibleTo(s.view.get()));
}

TEST(MacRemoteSessionView, PictureIsFittedInAWindowAndFilledInFullScreenWhenChosen) {
    SessionHarness s;
    s.h.defaults->set(MacRemoteSessionView::kFillScreenKey, true);
    s.view->setFullScreen(false);
    EXPECT_FALSE(s.view->picture()->fill());
    s.view->setFullScreen(true);
    EXPECT_TRUE(s.view->picture()->fill());
    s.view->setFullScreen(false);
    EXPECT_FALSE(s.view->picture()->fill());
}

TEST(MacRemoteSessionView, FullScreenBarHidesAfterItsDelayUnlessThePointerRestsOnIt) {
    SessionHarness s;
    s.view->setFullScreen(true);
    EXPECT_TRUE(s.view->controlsShown());
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(s.view->controlBar(), &enter);
    s.wait(MacRemoteSessionView::kHideDelayMs + 500);
    EXPECT_TRUE(s.view->controlsShown()) << "the pointer rests on the bar";

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(s.view->controlBar(), &leave);
    s.wait(MacRemoteSessionView::kHideDelayMs + 500);
    EXPECT_FALSE(s.view->controlsShown());

    // Leaving full screen shows the bar for good.
    s.view->setFullScreen(false);
    EXPECT_TRUE(s.view->controlsShown());
    s.wait(MacRemoteSessionView::kHideDelayMs + 500);
    EXPECT_TRUE(s.view->controlsShown());
}

TEST(MacRemoteSessionView, PairingPasswordNeedsSixCharactersAfterTrimming) {
    SessionHarness s;
    s.view->passwordField()->setText(QStringLiteral("  12345  "));
    s.view->submitPassword();
    EXPECT_EQ(s.view->passwordField()->text(), QStringLiteral("  12345  "))
        << "too short: kept, nothing dialled";
    s.view->passwordField()->setText(QStringLiteral(" 123456 "));
    s.view->submitPassword();
    EXPECT_TRUE(s.view->passwordField()->text().isEmpty());
}

TEST(MacRemoteSessionView, FilesDroppedOnAComputersPictureGoToTheSessionAndItsNoteShows) {
    SessionHarness s;
    EXPECT_FALSE(s.view->transferLine()->isVisibleTo(s.view.get()));
    EXPECT_FALSE(s.view->receiveFilesButton()->isVisibleTo(s.view.get()));
    EXPECT_TRUE(s.view->picture()->input().beforePaste) << "paste hand-over for a computer";
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile("/tmp/a.txt")});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(s.view->picture(), &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(s.view->picture(), &drop);
    // The session has no transfer link yet, and says so under the picture.
    EXPECT_EQ(s.view->transferLine()->text(), QString::fromUtf8(MacRemoteSession::kNoTransferLink));
    EXPECT_TRUE(s.view->transferLine()->isVisibleTo(s.view.get()));
}

TEST(MacRemoteSessionView, PhonesGetNoPasteHookAndNoDrops) {
    SessionHarness s(device("android"));
    EXPECT_FALSE(s.view->picture()->input().beforePaste);
    EXPECT_FALSE(s.view->picture()->acceptDrops());
}

TEST(MacGuestSheet, ConnectNeedsNineDigitsASixCharacterPasswordAndNoSharing) {
    struct Case {
        const char* code;
        const char* password;
        bool sharing;
        bool enabled;
    };
    const Case cases[] = {
        {"123456789", "abcdef", false, true},           {"123456789", "abcde", false, false},
        {"12345678", "abcdef", false, false},           {"1234567890", "abcdef", false, false},
        {"12345678a", "abcdef", false, false},          {"123456789", "abcdef", true, false},
        {"１２３４５６７８９", "abcdef", false, false}, // full-width digits are not decimal ASCII
        {"123456789", "密码密码密码", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.code << " / " << c.password << (c.sharing ? " sharing" : ""));
        EXPECT_EQ(
            MacGuestSheet::canConnect(QString::fromUtf8(c.code), QString::fromUtf8(c.password), c.sharing),
            c.enabled);
    }
}

TEST(MacGuestSheet, SharingDisablesConnectAndARefusalStaysInTheSheet) {
    ModelHarness h;
    quorlinth::testing::qtApplication();
    auto model = h.makeModel();
    std::vector<std::string> opened;
    MacGuestSheet sheet(*model, [&](const std::string& id) { opened.push_back(id); });
    sheet.codeField()->setText(QStringLiteral("123456789"));
    sheet.passwordField()->setText(QStringLiteral("abcdef"));
    EXPECT_TRUE(sheet.connectButton()->isEnabled());
    h.share();
    EXPECT_FALSE(sheet.connectButton()->isEnabled());
}

TEST(MacConnectionSheet, RefusalShowsTheModelsTextAndOpensNoWindow) {
    ModelHarness h;
    quorlinth::testing::qtApplication();
    auto model = h.makeModel();
    h.share(); // the model refuses to control while sharing
    AccountSignals account(h.account);
    std::vector<std::string> opened;
    MacConnectionSheet sheet(account, *model, std::nullopt,
                             [&](const std::string& id) { opened.push_back(id); });
    EXPECT_EQ(sheet.windowTitle(), QStringLiteral("连接设备"));
    sheet.connectDevice(device("linux"));
    SessionHarness::wait(100);
    EXPECT_EQ(sheet.errorText(), QString::fromUtf8(MacModel::kStopSharingFirst));
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(model->state().sessions.get().empty());
}

TEST(MacConnectionSheet, ActionIsWatchForPhonesAndComputersWithoutInput) {
    EXPECT_STREQ(MacConnectionSheet::actionTitle(device("linux")), "连接");
    EXPECT_STREQ(MacConnectionSheet::actionTitle(device("android", false)), "连接");
    EXPECT_STREQ(MacConnectionSheet::actionTitle(device("macos", false)), "观看");
    EXPECT_STREQ(MacConnectionSheet::actionTitle(device("ios")), "观看");
}
