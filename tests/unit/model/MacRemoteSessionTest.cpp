#include "model/MacRemoteSession.h"

#include "base/MainQueue.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using namespace std::chrono_literals;

namespace {

// A session whose client aims at a closed port: it never shows a picture, which is what the
// watchdog is for. Short timings keep the waits small; the waits themselves are event-driven.
struct SessionFixture {
    RunLoop loop;
    std::vector<std::string> logged;
    std::shared_ptr<MacRemoteSession> session;

    explicit SessionFixture(MacRemoteSession::Timings timings) {
        auto makeClient = [this](CloudAccess access, std::string target,
                                 std::optional<CloudRTCClient::Guest> guest,
                                 std::optional<std::string> lane) {
            CloudRTCClient::Options options;
            options.main = &loop;
            return CloudRTCClient::create(std::move(access), std::move(target), std::move(guest),
                                          std::move(lane), options);
        };
        MacRemoteSession::Platform platform{loop, makeClient,
                                            [this](const std::string& line) { logged.push_back(line); },
                                            [] { return std::nullopt; }};
        session = MacRemoteSession::create(
            MacDevice{"D2", "书房的电脑", "linux", true, MacCapabilities{true, true, true}, true}, platform,
            timings);
    }
    ~SessionFixture() { session->close(); }

    bool logContains(const std::string& text) const {
        for (const auto& line : logged)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

} // namespace

TEST(MacRemoteSession, NoPictureInTimeSaysWhyAndLeavesTheAttemptRunning) {
    SessionFixture fixture({50ms, 600ms});
    fixture.session->connectCloud({"http://127.0.0.1:9", "token", "D1", "device-token"}, std::nullopt);
    EXPECT_EQ(fixture.session->state().status.get().rfind("正在连接 书房的电脑", 0), 0u);
    ASSERT_TRUE(fixture.loop.runUntil([&] { return fixture.logContains("连接超时"); }, 10'000ms));
    EXPECT_TRUE(fixture.logContains("[书房的电脑] 连接超时 无画面 proxyTUN=- route=-"));
    EXPECT_EQ(fixture.session->state().status.get(),
              std::string(MacRemoteSession::kNoPicture) + MacRemoteSession::kNetworkAdvice);
    EXPECT_NE(fixture.session->client(), nullptr);
}

TEST(MacRemoteSession, ClosingBeforeTheWatchdogSilencesIt) {
    SessionFixture fixture({50ms, 600ms});
    fixture.session->connectCloud({"http://127.0.0.1:9", "token", "D1", "device-token"}, std::nullopt);
    fixture.session->close();
    fixture.loop.runFor(200ms);
    EXPECT_FALSE(fixture.logContains("连接超时"));
    EXPECT_EQ(fixture.session->client(), nullptr);
}

TEST(MacRemoteSession, ViewportGoesAtOnceThenOnlyTheLastOfABurstAfterTheDebounce) {
    SessionFixture fixture({15'000ms, 100ms});
    auto& session = *fixture.session;
    using Viewport = CloudRTCClient::Viewport;
    auto sent = [&] { return session.sentViewport().value_or(Viewport{-1, -1, 0, true}); };

    session.requestViewport(0, 300, 2); // no size yet: ignored
    EXPECT_FALSE(session.sentViewport());
    session.requestViewport(640.6, 360.4, 2);
    EXPECT_EQ(sent().width, 1281);
    EXPECT_EQ(sent().height, 720);
    EXPECT_FALSE(sent().fit);

    session.requestViewport(800, 600, 1);
    session.requestViewport(1024, 768, 1);
    EXPECT_EQ(sent().width, 1281) << "a burst waits for the debounce";
    ASSERT_TRUE(fixture.loop.runUntil([&] { return sent().width == 1024; }, 5'000ms));
    EXPECT_EQ(sent().height, 768);
    EXPECT_EQ(sent().scale, 1.0);
}

TEST(MacRemoteSession, TransferNeedsALinkAndTheRemoteSidesConsent) {
    SessionFixture fixture({15'000ms, 600ms});
    auto& session = *fixture.session;
    session.sendFiles({"/etc/hostname"});
    EXPECT_EQ(session.state().transferNote.get(), MacRemoteSession::kNoTransferLink);
    EXPECT_FALSE(session.pushClipboard());
    EXPECT_EQ(session.prepareRemotePaste(), std::optional<double>(0.0));
    session.acceptRemoteFiles();
    EXPECT_TRUE(session.state().remoteFiles.get().empty());
}
