#include "updates/UpdateArchive.h"

#include "ReleaseFixture.h"
#include "ScriptedHttpServer.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ArchiveEntry;
using Kind = ArchiveEntry::Kind;
namespace fs = std::filesystem;

namespace {

class Unpacking : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(root); }

    Result<void> unpack(const std::vector<ArchiveEntry>& entries) {
        std::ofstream(root / "archive.tar.gz", std::ios::binary) << quorlinth::testing::makeTarGz(entries);
        return unpackReleaseArchive(root / "archive.tar.gz", root / "work" / "unpacked");
    }

    fs::path root = quorlinth::testing::makeTemporaryFolder("quorlinth-unpack-");
};

} // namespace

TEST(UpdateArchive, ContainedPathRules) {
    struct Case {
        const char* name;
        bool entry;
        bool target;
    };
    const Case cases[] = {
        {"Quorlinth.app/bin/quorlinth", true, true},
        {"./Quorlinth.app", true, true},
        {"libdemo.so.1", true, true},
        {"", false, false},
        {"/etc/passwd", false, false},
        {"../outside", false, false},
        {"Quorlinth.app/../../outside", false, false},
        {"Quorlinth.app/..", false, false},
        {"a/b/../c", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isContainedEntryPath(c.name), c.entry);
        EXPECT_EQ(isContainedLinkTarget(c.name), c.target);
    }
}

TEST_F(Unpacking, UnpacksDirectoriesFilesAndContainedLinks) {
    auto entries = quorlinth::testing::bundleEntries("7");
    entries.push_back({"Quorlinth.app/bin/setuid", "x", Kind::file, "", 04755});
    ASSERT_TRUE(unpack(entries));
    fs::path app = root / "work" / "unpacked" / "Quorlinth.app";
    EXPECT_TRUE(fs::is_regular_file(app / "bundle.json"));
    EXPECT_EQ(fs::read_symlink(app / "bin" / "libdemo.so"), "libdemo.so.1");
    EXPECT_EQ(fs::file_size(app / "bin" / "libdemo.so.1"), 200'000u);
    EXPECT_NE(fs::status(app / "quorlinth").permissions() & fs::perms::owner_exec, fs::perms::none);
    // Set-id bits never survive unpacking.
    EXPECT_EQ(fs::status(app / "bin" / "setuid").permissions() & fs::perms::set_uid, fs::perms::none);
}

TEST_F(Unpacking, RefusesEntriesThatLeaveTheFolder) {
    struct Case {
        const char* name;
        std::vector<ArchiveEntry> extra;
        const char* written; // what must not exist afterwards, relative to the test folder
    };
    const Case cases[] = {
        {"dot-dot path", {{"Quorlinth.app/../../escaped", "bad"}}, "escaped"},
        {"absolute path", {{(fs::path("/tmp") / "quorlinth-absolute-escape").string(), "bad"}}, "escaped"},
        {"link to an absolute target", {{"Quorlinth.app/out", "", Kind::symlink, "/tmp", 0777}}, "escaped"},
        {"link climbing out", {{"Quorlinth.app/out", "", Kind::symlink, "../../..", 0777}}, "escaped"},
        {"file through a climbing link",
         {{"Quorlinth.app/out", "", Kind::symlink, "../..", 0777}, {"Quorlinth.app/out/escaped", "bad"}},
         "escaped"},
        {"hard link", {{"Quorlinth.app/hard", "", Kind::hardlink, "/etc/passwd", 0644}}, "escaped"},
        {"fifo", {{"Quorlinth.app/pipe", "", Kind::fifo, "", 0644}}, "escaped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "work");
        auto entries = quorlinth::testing::bundleEntries("7");
        entries.insert(entries.end(), c.extra.begin(), c.extra.end());
        auto unpacked = unpack(entries);
        ASSERT_FALSE(unpacked);
        EXPECT_EQ(unpacked.error(), "安装包含有不安全的路径");
        EXPECT_FALSE(fs::exists(root / c.written));
        EXPECT_FALSE(fs::exists("/tmp/quorlinth-absolute-escape"));
    }
}

TEST_F(Unpacking, DamagedArchivesFailCleanly) {
    std::string archive = quorlinth::testing::makeTarGz(quorlinth::testing::bundleEntries("7"));
    // The writer pads its output to whole blocks: cut inside the compressed stream itself.
    const std::string damaged[] = {archive.substr(0, 300), "plain text, not an archive", ""};
    for (const auto& data : damaged) {
        SCOPED_TRACE(data.size());
        std::ofstream(root / "archive.tar.gz", std::ios::binary | std::ios::trunc) << data;
        auto unpacked = unpackReleaseArchive(root / "archive.tar.gz", root / "work");
        ASSERT_FALSE(unpacked);
        EXPECT_EQ(unpacked.error(), "安装包无法解开");
    }
}
