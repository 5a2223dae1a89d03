// Installs that must fail, against a scripted download server on loopback: whatever goes wrong,
// the installed copy stays byte for byte as it was and no work files are left behind.
#include "ReleaseFixture.h"
#include "ScriptedHttpServer.h"
#include "base/MainQueue.h"
#include "crypto/Sha256.h"
#include "store/UserDefaults.h"
#include "updates/MacUpdates.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ArchiveEntry;
using quorlinth::testing::ScriptedHttpServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string archiveResponse(const std::string& archive) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/gzip\r\nContent-Length: " +
           std::to_string(archive.size()) + "\r\nConnection: close\r\n\r\n" + archive;
}

class FailedInstall : public ::testing::Test {
protected:
    void SetUp() override {
        quorlinth::testing::writeInstalledBundle(installation, "41", "1.0");
        fs::create_directories(temporary);
        installed = quorlinth::testing::treeFingerprint(apps);
    }
    void TearDown() override { fs::remove_all(root); }

    std::shared_ptr<MacUpdates> makeUpdates(Bytes releaseKey) {
        MacUpdates::Options options;
        options.downloadBase = server.baseURL() + "/download/";
        options.installation = MacBundle::read(installation);
        options.platformVersion = "2.36";
        options.releaseKey = std::move(releaseKey);
        options.temporaryDirectory = temporary;
        auto updates = MacUpdates::create(defaults, options, loop);
        updates->onTerminate = [this] { terminated = true; };
        updates->resumeState = [] { return MacUpdateResume{true, true, 0}; };
        return updates;
    }

    // Runs an install to its end and checks that it failed with `reason` and changed nothing.
    void expectFailure(const MacUpdate& update, const std::string& response, const std::string& reason,
                       Bytes releaseKey) {
        auto updates = makeUpdates(std::move(releaseKey));
        server.respond(response);
        size_t asked = server.requests().size();
        updates->install(update);
        EXPECT_TRUE(updates->installing());
        ASSERT_TRUE(loop.runUntil([&] { return !updates->installing(); }, 60s));
        EXPECT_EQ(updates->message(), "更新未完成：" + reason + "。当前版本未改动。");
        EXPECT_FALSE(terminated);
        EXPECT_EQ(quorlinth::testing::treeFingerprint(apps), installed);
        EXPECT_TRUE(fs::is_empty(temporary)) << "work files left behind";
        EXPECT_FALSE(defaults.data(MacUpdateResume::kDefaultsKey));
        auto requests = server.requests();
        ASSERT_EQ(requests.size(), asked + 1) << "only the archive is asked for, once";
        EXPECT_EQ(requests.back().target, "/download/" + update.file);
    }

    RunLoop loop;
    ScriptedHttpServer server;
    fs::path root = quorlinth::testing::makeTemporaryFolder("quorlinth-install-");
    fs::path apps = root / "apps";
    fs::path installation = apps / "Quorlinth.app";
    fs::path temporary = root / "tmp";
    UserDefaults defaults{root / "defaults.json"};
    crypto::P256SigningKey key = crypto::P256SigningKey::generate();
    std::string installed;
    bool terminated = false;
};

} // namespace

TEST_F(FailedInstall, DownloadsThatDoNotMatchTheRelease) {
    const std::string archive = quorlinth::testing::makeTarGz(quorlinth::testing::bundleEntries("42"));
    const MacUpdate update = quorlinth::testing::describeRelease(archive, key, "42");
    std::string flipped = archive;
    flipped[flipped.size() / 3] ^= 0x01;
    MacUpdate longer = update;
    longer.bytes += 1;
    MacUpdate otherDigest = update;
    otherDigest.sha256 = hexEncode(crypto::sha256(std::string_view("another archive")));
    otherDigest.file = releaseFileName(otherDigest.sha256);

    struct Case {
        const char* name;
        MacUpdate update;
        std::string response;
        const char* reason;
    };
    const Case cases[] = {
        {"announced size differs", longer, archiveResponse(archive), "安装包大小不符"},
        {"more bytes than announced, no length given", update,
         "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + archive + "trailing", "安装包大小不符"},
        {"fewer bytes than announced, no length given", update,
         "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + archive.substr(0, archive.size() - 1),
         "安装包大小不符"},
        {"other digest", otherDigest, archiveResponse(archive), "安装包校验失败"},
        {"flipped byte", update, archiveResponse(flipped), "安装包校验失败"},
        {"server stops mid-download", update,
         "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(archive.size()) + "\r\n\r\n" +
             archive.substr(0, archive.size() / 2),
         "下载中断"},
        {"redirect refused", update,
         "HTTP/1.1 302 Found\r\nLocation: " + server.baseURL() + "/mirror/" + update.file +
             "\r\nContent-Length: 0\r\n\r\n",
         "下载失败"},
        {"not found", update, ScriptedHttpServer::response(404, "{}"), "下载失败"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectFailure(c.update, c.response, c.reason, key.rawPublic());
    }
}

TEST_F(FailedInstall, ArchivesThatAreNotAGenuineRelease) {
    using Kind = ArchiveEntry::Kind;
    const std::string archive = quorlinth::testing::makeTarGz(quorlinth::testing::bundleEntries("42"));
    const MacUpdate update = quorlinth::testing::describeRelease(archive, key, "42");
    const auto otherKey = crypto::P256SigningKey::generate();
    MacUpdate unsigned_ = update;
    unsigned_.signature.clear();

    auto signedArchive = [&](std::vector<ArchiveEntry> entries) {
        std::string data = quorlinth::testing::makeTarGz(entries);
        return std::make_pair(quorlinth::testing::describeRelease(data, key, "42"), archiveResponse(data));
    };
    auto withExtra = [&](std::vector<ArchiveEntry> extra) {
        auto entries = quorlinth::testing::bundleEntries("42");
        entries.insert(entries.end(), extra.begin(), extra.end());
        return signedArchive(entries);
    };
    auto withoutLauncher = quorlinth::testing::bundleEntries("42");
    std::erase_if(withoutLauncher,
                  [](const ArchiveEntry& entry) { return entry.name == "Quorlinth.app/quorlinth"; });

    struct Case {
        const char* name;
        std::pair<MacUpdate, std::string> release;
        const char* reason;
        Bytes releaseKey;
    };
    const Case cases[] = {
        {"signed by another key",
         {quorlinth::testing::describeRelease(archive, otherKey, "42"), archiveResponse(archive)},
         "签名校验未通过",
         key.rawPublic()},
        {"no signature", {unsigned_, archiveResponse(archive)}, "签名校验未通过", key.rawPublic()},
        {"no release key built in", {update, archiveResponse(archive)}, "签名校验未通过", {}},
        {"another application inside",
         signedArchive(quorlinth::testing::bundleEntries("42", "com.example.other")), "安装包内容不符",
         key.rawPublic()},
        {"another build inside", signedArchive(quorlinth::testing::bundleEntries("43")), "安装包内容不符",
         key.rawPublic()},
        {"no launcher inside", signedArchive(withoutLauncher), "安装包内容不符", key.rawPublic()},
        {"no application inside", signedArchive({{"README", "text", ArchiveEntry::Kind::file, "", 0644}}),
         "安装包内容不符", key.rawPublic()},
        {"dot-dot path",
         withExtra(
             {{"Quorlinth.app/../../../apps/Quorlinth.app/bin/quorlinth", "evil", Kind::file, "", 0755}}),
         "安装包含有不安全的路径", key.rawPublic()},
        {"link out of the folder",
         withExtra({{"Quorlinth.app/bin/out", "", Kind::symlink, "../../../../apps", 0777}}),
         "安装包含有不安全的路径", key.rawPublic()},
        {"absolute link", withExtra({{"Quorlinth.app/bin/out", "", Kind::symlink, apps.string(), 0777}}),
         "安装包含有不安全的路径", key.rawPublic()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectFailure(c.release.first, c.release.second, c.reason, c.releaseKey);
    }
}

TEST_F(FailedInstall, AnInstallationThatCannotBeReplacedOpensTheDownloadPage) {
    MacUpdates::Options options;
    options.downloadBase = server.baseURL() + "/download/";
    options.temporaryDirectory = temporary;
    auto updates = MacUpdates::create(defaults, options, loop); // not running from an installed copy
    std::string opened;
    updates->openURL = [&](const std::string& url) { opened = url; };
    const std::string archive = quorlinth::testing::makeTarGz(quorlinth::testing::bundleEntries("42"));
    updates->install(quorlinth::testing::describeRelease(archive, key, "42"));
    EXPECT_FALSE(updates->installing());
    EXPECT_EQ(updates->message(), "当前位置无法自动更新，请从下载页手动安装");
    EXPECT_EQ(opened, server.baseURL() + "/download/");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(FailedInstall, AnInvalidReleaseIsNeverInstalled) {
    auto updates = makeUpdates(key.rawPublic());
    const std::string archive = quorlinth::testing::makeTarGz(quorlinth::testing::bundleEntries("42"));
    MacUpdate update = quorlinth::testing::describeRelease(archive, key, "42");
    update.file = "../" + update.file;
    updates->install(update);
    EXPECT_FALSE(updates->installing());
    EXPECT_TRUE(server.requests().empty());
}
