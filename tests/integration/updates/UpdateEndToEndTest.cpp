// A whole update as a user gets it: an installed copy made by make-release checks the account
// service's download folder on loopback, downloads and verifies the next release, stages it, quits, is
// swapped and started again, and finds the sharing state it left.
#include "ChildProcess.h"
#include "ReleaseFixture.h"
#include "ServiceProcess.h"
#include "updates/MacBundle.h"
#include "updates/MacUpdates.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace quorlinth;
using quorlinth::testing::readTextFile;
using quorlinth::testing::runProgram;
using quorlinth::testing::TempDir;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path kSourceDir = QUORLINTH_DEFAULT_SOURCE_DIR;
const fs::path kProbe = QUORLINTH_UPDATE_PROBE;
constexpr const char* kPython = "/usr/bin/python3";

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    for (auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(50ms))
        if (condition()) return true;
    return condition();
}

class EndToEndUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(runProgram({"openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                              (dir.path() / "key.pem").string()})
                      .exitCode,
                  0);
        auto key = runProgram({kPython, (kSourceDir / "scripts" / "make-release").string(), "--public-key",
                               (dir.path() / "key.pem").string()});
        ASSERT_EQ(key.exitCode, 0) << key.err;
        publicKey = key.out.substr(0, key.out.find('\n'));

        // Build 1 is installed by hand from its archive; build 2 is published.
        fs::path first = makeRelease("1", "1.0", dir.path() / "first");
        fs::create_directories(apps);
        ASSERT_EQ(runProgram({"tar", "xzf", first.string(), "-C", apps.string()}).exitCode, 0);
        fs::path second = makeRelease("2", "2.0", dir.path() / "www" / "download");
        fs::create_directories(dir.path() / "reference");
        ASSERT_EQ(
            runProgram({"tar", "xzf", second.string(), "-C", (dir.path() / "reference").string()}).exitCode,
            0);
        fs::create_directories(temporary);

        quorlinth::testing::ServiceProcess::Options published;
        published.releases = dir.path() / "www" / "download";
        service = std::make_unique<quorlinth::testing::ServiceProcess>(dir, published);
        ASSERT_TRUE(service->started()) << service->logText();
        base = MacUpdates::downloadBaseOf(service->baseUrl());
        installed = quorlinth::testing::treeFingerprint(apps);
    }

    fs::path makeRelease(const std::string& build, const std::string& version, const fs::path& output) {
        auto made = runProgram({kPython, (kSourceDir / "scripts" / "make-release").string(), "--version",
                                version, "--build", build, "--key", (dir.path() / "key.pem").string(),
                                "--output", output.string(), "--program", kProbe.string(), "--launch",
                                kProbe.filename().string()});
        EXPECT_EQ(made.exitCode, 0) << made.err;
        return made.out.substr(0, made.out.find('\n'));
    }

    quorlinth::testing::Environment environment() const {
        return {{"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                {"QUORLINTH_PROBE_REPORT", report.string()},
                {"QUORLINTH_PROBE_KEY", publicKey},
                {"TMPDIR", temporary.string()}};
    }

    TempDir dir;
    fs::path apps = dir.path() / "apps";
    fs::path temporary = dir.path() / "tmp";
    fs::path report = dir.path() / "report";
    std::string publicKey;
    std::string base;
    std::string installed;
    std::unique_ptr<quorlinth::testing::ServiceProcess> service;
};

} // namespace

TEST_F(EndToEndUpdate, ChecksDownloadsVerifiesSwapsRelaunchesAndResumesSharing) {
    auto run = runProgram({(apps / "Quorlinth.app" / "quorlinth").string(), "update", base}, environment());
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("发现新版本 2.0（2）"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("正在下载新版本… 100%"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("正在重启以完成更新…"), std::string::npos) << run.out;

    // The new build starts by itself once the old one is gone, and takes the sharing state back.
    ASSERT_TRUE(
        waitFor([&] { return readTextFile(report).find("started build=2") != std::string::npos; }, 60s))
        << readTextFile(report);
    EXPECT_EQ(readTextFile(report), "started build=1 resume=none\n"
                                    "update exit=0 正在重启以完成更新…\n"
                                    "started build=2 resume=1,1\n");
    EXPECT_EQ(quorlinth::testing::treeFingerprint(apps),
              quorlinth::testing::treeFingerprint(dir.path() / "reference"))
        << "the installation is exactly the released copy, with nothing left beside it";
    EXPECT_TRUE(fs::is_empty(temporary));

    // The record is used once: the next start restores nothing.
    ASSERT_EQ(runProgram({(apps / "Quorlinth.app" / "quorlinth").string()}, environment()).exitCode, 0);
    EXPECT_NE(readTextFile(report).find("started build=2 resume=none"), std::string::npos);
}

TEST_F(EndToEndUpdate, AFullDiskLeavesTheInstallationAsItWas) {
    // The work folder sits on a 256 KiB tmpfs in a private mount namespace, far smaller than the archive.
    const std::string mountAndRun = "mount -t tmpfs -o size=256k tmpfs \"$1\" || exit 77; shift; exec \"$@\"";
    auto probe = runProgram({"unshare", "--mount", "--propagation", "private", "true"});
    if (probe.exitCode != 0) GTEST_SKIP() << "no mount namespaces here: " << probe.err;

    auto run =
        runProgram({"unshare", "--mount", "--propagation", "private", "sh", "-c", mountAndRun, "sh",
                    temporary.string(), (apps / "Quorlinth.app" / "quorlinth").string(), "update", base},
                   environment());
    ASSERT_NE(run.exitCode, 77) << run.err;
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(readTextFile(report).find("update exit=1 更新未完成：磁盘空间不足。当前版本未改动。"),
              std::string::npos)
        << readTextFile(report);
    std::this_thread::sleep_for(1s); // a swap, had one wrongly been started, would have run by now
    EXPECT_EQ(quorlinth::testing::treeFingerprint(apps), installed);
    EXPECT_EQ(readTextFile(report).find("started build=2"), std::string::npos);
}
