// The manifest check of MacUpdates against a scripted server on loopback.
#include "ReleaseFixture.h"
#include "ScriptedHttpServer.h"
#include "base/MainQueue.h"
#include "store/UserDefaults.h"
#include "updates/MacUpdates.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ScriptedHttpServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

MacUpdate release(const std::string& build, const std::string& minimum = "2.31") {
    MacUpdate update;
    update.version = "2.0";
    update.build = build;
    update.bundleIdentifier = kBundleIdentifier;
    update.minimumOS = minimum;
    update.file = releaseFileName(kDigest);
    update.bytes = 1000;
    update.sha256 = kDigest;
    return update;
}

class UpdateCheck : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(folder); }

    std::shared_ptr<MacUpdates> makeUpdates(std::optional<std::string> runningBuild = "41") {
        MacUpdates::Options options;
        options.downloadBase = server.baseURL() + "/download/";
        if (runningBuild)
            options.installation =
                MacBundle{folder / "apps" / "Quorlinth.app", kBundleIdentifier, "1.0", *runningBuild};
        options.platformVersion = "2.36";
        options.now = [this] { return clock; };
        auto updates = MacUpdates::create(defaults, options, loop);
        updates->isBusy = [this] { return busy; };
        return updates;
    }

    void check(MacUpdates& updates, bool manual) {
        updates.check(manual);
        EXPECT_TRUE(loop.runUntil([&] { return !updates.checking(); }, 30s));
    }

    void serve(const MacUpdate& update) {
        server.respond(ScriptedHttpServer::response(200, quorlinth::testing::manifestText(update)));
    }

    RunLoop loop;
    ScriptedHttpServer server;
    fs::path folder = quorlinth::testing::makeTemporaryFolder("quorlinth-check-");
    UserDefaults defaults{folder / "defaults.json"};
    double clock = 1'800'000'000;
    bool busy = false;
};

} // namespace

TEST_F(UpdateCheck, OffersANewerBuildThatFits) {
    auto updates = makeUpdates();
    serve(release("42"));
    check(*updates, true);
    EXPECT_EQ(updates->message(), "发现新版本 2.0（42）");
    EXPECT_EQ(updates->latest(), release("42"));
    EXPECT_EQ(updates->offered(), release("42"));
    EXPECT_EQ(defaults.number(MacUpdates::kCheckedKey), clock);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/download/release.json");
    EXPECT_EQ(requests[0].headers["cache-control"], "no-cache");
    EXPECT_EQ(MacUpdates::alertTitle(*updates->offered()), "发现新版本 2.0（42）");
    EXPECT_EQ(updates->alertText(true),
              "当前版本 1.0（41）。更新会下载并校验新版本，然后自动重启 Quorlinth，当前远控或共享会中断");
}

TEST_F(UpdateCheck, DecisionRules) {
    struct Case {
        const char* name;
        std::optional<std::string> running;
        MacUpdate offered;
        std::string message;
        bool latest;
    };
    const Case cases[] = {
        {"same build", "42", release("42"), "已是最新版本", false},
        {"older build", "43", release("42"), "已是最新版本", false},
        {"running build not a number", "dev", release("42"), "已是最新版本", false},
        {"not installed", std::nullopt, release("42"), "已是最新版本", false},
        {"needs a newer system", "41", release("42", "2.40"), "新版本 2.0（42）需要 glibc 2.40 或更高版本",
         false},
        {"minimum without numbers", "41", release("42", "abc"), "新版本 2.0（42）需要 glibc abc 或更高版本",
         false},
        {"minimum major only", "41", release("42", "2"), "发现新版本 2.0（42）", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto updates = makeUpdates(c.running);
        serve(c.offered);
        check(*updates, true);
        EXPECT_EQ(updates->message(), c.message);
        EXPECT_EQ(updates->latest().has_value(), c.latest);
        EXPECT_EQ(updates->offered().has_value(), c.latest);
    }
}

TEST_F(UpdateCheck, BadAnswersFailTheCheck) {
    MacUpdate wrongIdentity = release("42");
    wrongIdentity.bundleIdentifier = "com.pelmarock.quorlinth.mac";
    const std::pair<const char*, std::string> answers[] = {
        {"not found", ScriptedHttpServer::response(404, quorlinth::testing::manifestText(release("42")))},
        {"redirect", ScriptedHttpServer::response(
                         302, "", "Location: " + server.baseURL() + "/elsewhere/release.json\r\n")},
        {"over 64 KiB", ScriptedHttpServer::response(200, std::string(65'537, ' '))},
        {"not JSON", ScriptedHttpServer::response(200, "<html>")},
        {"no Linux release", ScriptedHttpServer::response(200, R"({"mac": {}})")},
        {"wrong identity",
         ScriptedHttpServer::response(200, quorlinth::testing::manifestText(wrongIdentity))},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n{\"linux\":"},
    };
    for (const auto& [name, answer] : answers) {
        SCOPED_TRACE(name);
        auto updates = makeUpdates();
        server.respond(answer);
        check(*updates, true);
        EXPECT_EQ(updates->message(), "检查更新失败，请检查网络后重试");
        EXPECT_FALSE(updates->latest());
        EXPECT_FALSE(updates->offered());
        EXPECT_FALSE(defaults.number(MacUpdates::kCheckedKey));
    }
    // Only the manifest was asked for: nothing followed the redirect.
    EXPECT_EQ(server.requests().size(), std::size(answers));
}

TEST_F(UpdateCheck, AManifestOfExactly64KiBIsRead) {
    std::string text = quorlinth::testing::manifestText(release("42"));
    text.resize(65'536, ' ');
    auto updates = makeUpdates();
    server.respond(ScriptedHttpServer::response(200, text));
    check(*updates, true);
    EXPECT_EQ(updates->message(), "发现新版本 2.0（42）");
}

TEST_F(UpdateCheck, AutomaticChecksAreSpacedOut) {
    auto updates = makeUpdates();
    serve(release("42"));
    check(*updates, false);
    ASSERT_EQ(server.requests().size(), 1u);

    // Within 900 s of the last attempt, and within 21600 s of the last good check: nothing.
    clock += 899;
    check(*updates, false);
    clock += 2;
    check(*updates, false);
    EXPECT_EQ(server.requests().size(), 1u);

    clock = 1'800'000'000 + 21'600;
    serve(release("42"));
    check(*updates, false);
    EXPECT_EQ(server.requests().size(), 2u);

    // A manual check is never held back.
    serve(release("42"));
    check(*updates, true);
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(UpdateCheck, ACheckDatedInTheFutureDoesNotHoldChecksBack) {
    defaults.set(MacUpdates::kCheckedKey, clock + 10 * 365 * 86'400.0);
    auto updates = makeUpdates();
    serve(release("42"));
    check(*updates, false);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(defaults.number(MacUpdates::kCheckedKey), clock);
}

TEST_F(UpdateCheck, AFailedAutomaticCheckIsRetriedAfter900Seconds) {
    auto updates = makeUpdates();
    server.respond(ScriptedHttpServer::response(500, "{}"));
    check(*updates, false);
    clock += 900;
    serve(release("42"));
    check(*updates, false);
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_TRUE(updates->offered());
}

TEST_F(UpdateCheck, AutomaticSettingIsPersistedAndHonoured) {
    auto updates = makeUpdates();
    EXPECT_TRUE(updates->automatic());
    updates->setAutomatic(false);
    EXPECT_EQ(defaults.boolean(MacUpdates::kAutomaticKey), false);
    check(*updates, false);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_FALSE(makeUpdates()->automatic());

    defaults.set(MacUpdates::kAutomaticKey, "no");
    EXPECT_TRUE(makeUpdates()->automatic()) << "a value of another type counts as absent";
}

TEST_F(UpdateCheck, SkippedBuildsAndBusyTimesAreOnlyOfferedOnRequest) {
    auto updates = makeUpdates();
    serve(release("42"));
    check(*updates, true);
    ASSERT_TRUE(updates->offered());
    updates->skip(*updates->offered());
    EXPECT_FALSE(updates->offered());
    EXPECT_EQ(defaults.string(MacUpdates::kSkippedKey), "42");

    struct Case {
        const char* name;
        std::string build;
        bool busy;
        bool manual;
        bool offered;
    };
    const Case cases[] = {
        {"skipped, automatic", "42", false, false, false},
        {"skipped, manual", "42", false, true, true},
        {"a later build after a skip", "43", false, false, true},
        {"busy, automatic", "43", true, false, false},
        {"busy, manual", "43", true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock += 30'000;
        busy = c.busy;
        auto fresh = makeUpdates();
        serve(release(c.build));
        check(*fresh, c.manual);
        EXPECT_TRUE(fresh->latest()) << "the newer build is still known";
        EXPECT_EQ(fresh->offered().has_value(), c.offered);
    }
}
