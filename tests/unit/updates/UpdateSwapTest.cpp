#include "updates/UpdateSwap.h"

#include "ReleaseFixture.h"
#include "ScriptedHttpServer.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

extern char** environ;

using namespace quorlinth;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Stands in for the application that must quit before the swap may begin.
class Sleeper {
public:
    Sleeper() {
        char sleep[] = "sleep", seconds[] = "60";
        char* argv[] = {sleep, seconds, nullptr};
        posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ);
    }
    ~Sleeper() { quit(); }
    void quit() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    pid_t pid = -1;
};

class Swap : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QUORLINTH_TEST_MARKER", marker.c_str(), 1);
        quorlinth::testing::writeInstalledBundle(paths.installation, "1", "1.0");
    }
    void TearDown() override {
        unsetenv("QUORLINTH_TEST_MARKER");
        fs::remove_all(root);
    }

    // The swap is done once the launcher it starts has written its line.
    bool waitForRelaunch() {
        for (auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(50ms))
            if (readText(marker).find('\n') != std::string::npos) return true;
        return false;
    }

    fs::path root = quorlinth::testing::makeTemporaryFolder("quorlinth-swap-");
    fs::path marker = root / "relaunched";
    UpdateSwapPaths paths{root / "apps" / "Quorlinth.app", root / "apps" / ".Quorlinth-update-2.app",
                          root / "apps" / ".Quorlinth-previous.app"};
};

} // namespace

TEST_F(Swap, WaitsForTheApplicationThenSwapsAndRelaunchesTheNewCopy) {
    quorlinth::testing::writeInstalledBundle(paths.staging, "2", "2.0");
    std::string staged = quorlinth::testing::treeFingerprint(paths.staging);
    quorlinth::testing::writeInstalledBundle(paths.previous, "0", "0.9"); // left by an older update
    Sleeper application;
    ASSERT_TRUE(launchSwap(application.pid, paths, "quorlinth"));

    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(readText(paths.installation / "bin" / "quorlinth").find("build 2"), std::string::npos)
        << "swapped while the application still ran";

    application.quit();
    ASSERT_TRUE(waitForRelaunch());
    EXPECT_EQ(readText(marker), "build 2\n");
    EXPECT_EQ(quorlinth::testing::treeFingerprint(paths.installation), staged);
    EXPECT_FALSE(fs::exists(paths.staging));
    EXPECT_FALSE(fs::exists(paths.previous));
}

TEST_F(Swap, AFailedSwapPutsThePreviousCopyBack) {
    std::string installed = quorlinth::testing::treeFingerprint(paths.installation);
    // The staged copy vanished: the second move fails after the first succeeded.
    Sleeper application;
    ASSERT_TRUE(launchSwap(application.pid, paths, "quorlinth"));
    application.quit();
    ASSERT_TRUE(waitForRelaunch());
    EXPECT_EQ(readText(marker), "build 1\n");
    EXPECT_EQ(quorlinth::testing::treeFingerprint(paths.installation), installed);
    EXPECT_FALSE(fs::exists(paths.previous));
}
