#include "ui/MacDevicesPane.h"

#include "ModelHarness.h"
#include "QtTestApplication.h"
#include "base/PlatformWords.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "platform/fake/FakeServiceDiscovery.h"
#include "ui/AccountSignals.h"

#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ModelHarness;
using quorlinth::testing::settle;

namespace {

// The pane over a model that can dial (loopback only) and browses a fake network.
struct PaneHarness {
    PaneHarness() {
        quorlinth::testing::qtApplication();
        h.lanKeys = h.keys.get();
        h.discovery = &discovery;
        model = h.makeModel();
        account = std::make_unique<AccountSignals>(h.account);
        pane = std::make_unique<MacDevicesPane>(*account, *model);
        QObject::connect(pane.get(), &MacDevicesPane::showRemote,
                         [this](const QString& id) { shown.push_back(id.toStdString()); });
    }

    // The texts of the pane's labels and buttons now there.
    std::vector<QString> texts() const {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::vector<QString> out;
        for (auto* label : pane->findChildren<QLabel*>())
            out.push_back(label->text());
        for (auto* button : pane->findChildren<QPushButton*>())
            out.push_back(button->text());
        return out;
    }
    bool shows(const QString& text) const {
        auto all = texts();
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    QPushButton* button(const char* name) const {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return pane->findChild<QPushButton*>(QString::fromUtf8(name));
    }

    FakeServiceDiscovery discovery; // outlives the model
    ModelHarness h;
    std::shared_ptr<MacModel> model;
    std::unique_ptr<AccountSignals> account;
    std::unique_ptr<MacDevicesPane> pane;
    std::vector<std::string> shown;
};

} // namespace

TEST(MacDevicesPane, TheLANSectionListsFoundComputersAndTheirSessions) {
    PaneHarness p;
    EXPECT_TRUE(p.shows(QString::fromUtf8(platformWords::kLANComputers)));
    EXPECT_TRUE(p.shows(QString::fromUtf8(platformWords::kLANExplanation)));
    EXPECT_FALSE(p.shows(QString::fromUtf8(MacDevicesPane::kLANStatus)));

    // Port 9 on loopback: nothing answers, so the dial goes nowhere else.
    p.discovery.announce(kLANServiceType, {{"书房", "127.0.0.1", 9},
                                           {localComputerName(), "127.0.0.1", 47120},
                                           {"客厅\x1b[2J", "127.0.0.3", 9}});
    ASSERT_TRUE(settle(p.h.loop, [&] { return p.button("lan:127.0.0.3:9") != nullptr; }));
    EXPECT_TRUE(p.shows(QStringLiteral("书房")));
    EXPECT_TRUE(p.shows(QStringLiteral("客厅\uFFFD[2J"))); // a peer's control characters are not printed
    EXPECT_FALSE(p.button("lan:127.0.0.1:47120"));         // never this computer
    auto texts = p.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), QString::fromUtf8(MacDevicesPane::kLANStatus)), 2);

    QPushButton* study = p.button("lan:127.0.0.1:9");
    ASSERT_TRUE(study);
    EXPECT_EQ(study->text(), QStringLiteral("直连"));
    study->click();
    ASSERT_TRUE(settle(p.h.loop, [&] { return !p.shown.empty(); }));
    ASSERT_EQ(p.model->state().sessions.get().size(), 1u);
    auto session = p.model->state().sessions.get()[0];
    EXPECT_EQ(session->deviceID(), "lan:127.0.0.1:9");
    EXPECT_EQ(session->state().device.get().name, "书房");
    EXPECT_EQ(p.shown, std::vector<std::string>{session->id()});
    // The open session's row offers its window and the way to end it instead.
    EXPECT_FALSE(p.button("lan:127.0.0.1:9"));
    EXPECT_TRUE(p.shows(QStringLiteral("切换到窗口")));

    // Both stop being announced: the one without a session goes, the session's row stays.
    p.discovery.announce(kLANServiceType, {});
    ASSERT_TRUE(settle(p.h.loop, [&] { return p.button("lan:127.0.0.3:9") == nullptr; }));
    EXPECT_TRUE(p.shows(QStringLiteral("书房")));
    EXPECT_TRUE(p.shows(QStringLiteral("断开")));

    for (auto* button : p.pane->findChildren<QPushButton*>())
        if (button->text() == QStringLiteral("断开")) button->click();
    ASSERT_TRUE(settle(p.h.loop, [&] { return p.model->state().sessions.get().empty(); }));
    EXPECT_FALSE(p.shows(QStringLiteral("书房")));
}
