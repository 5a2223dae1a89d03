#include "ui/MacConnectionSheet.h"

#include "ModelHarness.h"
#include "QtTestApplication.h"
#include "model/MacModel.h"
#include "model/MacRemoteSession.h"
#include "platform/fake/FakeServiceDiscovery.h"
#include "ui/AccountSignals.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ModelHarness;

namespace {

// The sheet over a model that can dial (loopback only), with two saved addresses.
struct SheetHarness {
    SheetHarness() {
        quorlinth::testing::qtApplication();
        MacLANTrust dialled(*h.defaults, kLANKnownHostsKey);
        dialled.remember("KEY-A", "127.0.0.1:9", "书房");
        dialled.remember("KEY-B", "127.0.0.2:9", std::nullopt);
        h.lanKeys = h.keys.get();
        h.discovery = &discovery;
        model = h.makeModel();
        account = std::make_unique<AccountSignals>(h.account);
    }

    std::unique_ptr<MacConnectionSheet> sheet(std::optional<std::string> current = std::nullopt) {
        return std::make_unique<MacConnectionSheet>(*account, *model, std::move(current),
                                                    [this](const std::string& id) { opened.push_back(id); });
    }

    static void wait(int ms) {
        QTimer::singleShot(ms, [] { QApplication::exit(0); });
        QApplication::exec();
    }

    std::vector<std::string> deviceIDs() const {
        std::vector<std::string> ids;
        for (const auto& session : model->state().sessions.get())
            ids.push_back(session->deviceID());
        return ids;
    }

    FakeServiceDiscovery discovery; // outlives the model
    ModelHarness h;
    std::shared_ptr<MacModel> model;
    std::unique_ptr<AccountSignals> account;
    std::vector<std::string> opened;
};

} // namespace

TEST(MacConnectionSheet, ATypedAddressOpensALANSessionAndABadOneDoesNothing) {
    struct Case {
        const char* typed;
        bool enabled;
        std::vector<std::string> devices; // the model's sessions afterwards
    };
    const std::vector<Case> cases = {
        {"  127.0.0.1 \t", true, {"lan:127.0.0.1:47120"}},
        {"127.0.0.1:9", true, {"lan:127.0.0.1:9"}},
        {"", false, {}},
        {"127.0.0.1:99999", false, {}},
        {"::1", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        SheetHarness s;
        auto sheet = s.sheet();
        EXPECT_EQ(sheet->addressField()->placeholderText(), QStringLiteral("IP 地址，例如 192.168.1.20"));
        sheet->addressField()->setText(QString::fromUtf8(c.typed));
        EXPECT_EQ(sheet->addressButton()->isEnabled(), c.enabled);
        sheet->connectAddress();
        s.wait(50);
        EXPECT_EQ(s.deviceIDs(), c.devices);
        EXPECT_EQ(s.opened.size(), c.devices.size());
        if (!c.devices.empty()) {
            // Named by the address as typed, without the white space.
            std::string typed = QString::fromUtf8(c.typed).trimmed().toStdString();
            EXPECT_EQ(s.model->state().sessions.get()[0]->state().device.get().name, typed);
        }
    }
}

TEST(MacConnectionSheet, TheAddressButtonWaitsWhileConnecting) {
    SheetHarness s;
    auto sheet = s.sheet();
    sheet->addressField()->setText(QStringLiteral("127.0.0.1"));
    sheet->connectAddress();
    EXPECT_FALSE(sheet->addressButton()->isEnabled());
    sheet->addressField()->setText(QStringLiteral("127.0.0.2"));
    sheet->connectAddress(); // ignored: the first is still being asked for
    s.wait(50);
    EXPECT_EQ(s.deviceIDs(), std::vector<std::string>{"lan:127.0.0.1:47120"});
}

TEST(MacConnectionSheet, SavedAddressesOpenLeaveOutTheCurrentSessionAndCanBeForgotten) {
    SheetHarness s;
    auto first = s.sheet();
    EXPECT_EQ(first->savedAddresses(), (std::vector<std::string>{"127.0.0.2:9", "127.0.0.1:9"}));
    // Choosing "书房" dials its saved address under its saved name.
    auto rows = first->findChildren<QPushButton*>();
    QPushButton* study = nullptr;
    for (auto* button : rows)
        if (button->text() == QStringLiteral("直连") && button->parentWidget()->toolTip() == "127.0.0.1:9")
            study = button;
    ASSERT_TRUE(study);
    study->click();
    s.wait(50);
    ASSERT_EQ(s.deviceIDs(), std::vector<std::string>{"lan:127.0.0.1:9"});
    auto session = s.model->state().sessions.get()[0];
    EXPECT_EQ(session->state().device.get().name, "书房");
    EXPECT_EQ(s.opened, std::vector<std::string>{session->id()});

    // From that session's window the sheet leaves its own address out.
    auto fromWindow = s.sheet(session->id());
    EXPECT_EQ(fromWindow->savedAddresses(), std::vector<std::string>{"127.0.0.2:9"});

    QAction* forget = nullptr;
    for (auto* action : fromWindow->findChildren<QAction*>())
        if (action->text() == QStringLiteral("忘记此地址")) forget = action;
    ASSERT_TRUE(forget);
    forget->trigger();
    EXPECT_TRUE(fromWindow->savedAddresses().empty());
    EXPECT_EQ(s.model->knownLANHosts().size(), 1u); // only the current session's address is left
}

TEST(MacConnectionSheet, ComputersFoundOnTheNetworkAreDialledDirectlyAndFollowTheNetwork) {
    SheetHarness s;
    auto sheet = s.sheet();
    EXPECT_TRUE(sheet->foundNames().empty());
    // Port 9 on loopback: nothing answers, so the dial goes nowhere else.
    s.discovery.announce(
        kLANServiceType,
        {{"客厅", "127.0.0.3", 9}, {localComputerName(), "127.0.0.1", 47120}, {"书房", "127.0.0.1", 9}});
    ASSERT_TRUE(quorlinth::testing::settle(s.h.loop, [&] { return sheet->foundNames().size() == 2; }));
    EXPECT_EQ(sheet->foundNames(), (std::vector<std::string>{"书房", "客厅"})); // never this computer

    auto* study = sheet->findChild<QPushButton*>(QStringLiteral("lan:127.0.0.1:9"));
    ASSERT_TRUE(study);
    EXPECT_EQ(study->text(), QStringLiteral("直连"));
    study->click();
    ASSERT_TRUE(quorlinth::testing::settle(s.h.loop, [&] { return !s.opened.empty(); }));
    ASSERT_EQ(s.deviceIDs(), std::vector<std::string>{"lan:127.0.0.1:9"});
    auto session = s.model->state().sessions.get()[0];
    EXPECT_EQ(session->state().device.get().name, "书房");
    EXPECT_EQ(s.opened, std::vector<std::string>{session->id()});

    // A computer that stops sharing leaves the list.
    s.discovery.announce(kLANServiceType, {{"书房", "127.0.0.1", 9}});
    ASSERT_TRUE(quorlinth::testing::settle(s.h.loop, [&] { return sheet->foundNames().size() == 1; }));
    EXPECT_EQ(sheet->foundNames(), std::vector<std::string>{"书房"});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(sheet->findChild<QPushButton*>(QStringLiteral("lan:127.0.0.3:9")));
}
