#include "store/Paths.h"

#include "TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ScopedEnv;
using quorlinth::testing::ScratchFolder;
namespace fs = std::filesystem;

TEST(Paths, FollowXdgVariablesAndFallBackUnderHome) {
    ScopedEnv home("HOME", "/home/tester");
    struct Case {
        const char* name;
        std::optional<std::string> value; // for all three XDG variables
        fs::path config, data, state;
    };
    const Case cases[] = {
        {"set", "/x", "/x/quorlinth", "/x/quorlinth", "/x/quorlinth"},
        {"unset", std::nullopt, "/home/tester/.config/quorlinth", "/home/tester/.local/share/quorlinth",
         "/home/tester/.local/state/quorlinth"},
        {"empty", "", "/home/tester/.config/quorlinth", "/home/tester/.local/share/quorlinth",
         "/home/tester/.local/state/quorlinth"},
        {"relative is ignored", "relative/dir", "/home/tester/.config/quorlinth",
         "/home/tester/.local/share/quorlinth", "/home/tester/.local/state/quorlinth"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        ScopedEnv config("XDG_CONFIG_HOME", row.value);
        ScopedEnv data("XDG_DATA_HOME", row.value);
        ScopedEnv state("XDG_STATE_HOME", row.value);
        EXPECT_EQ(appConfigDir(), row.config);
        EXPECT_EQ(appDataDir(), row.data);
        EXPECT_EQ(appStateDir(), row.state);
        EXPECT_EQ(appConfigDir().parent_path(), configHome());
    }
}

TEST(Paths, DownloadsFolderFromUserDirs) {
    ScratchFolder folder;
    ScopedEnv home("HOME", (*folder).string());
    ScopedEnv config("XDG_CONFIG_HOME", (folder / "config").string());
    ScopedEnv download("XDG_DOWNLOAD_DIR", std::nullopt);
    fs::create_directories(folder / "config");
    struct Case {
        const char* name;
        std::optional<std::string> userDirs;
        fs::path expected;
    };
    const Case cases[] = {
        {"no user-dirs file", std::nullopt, *folder / "Downloads/Quorlinth"},
        {"relative to home", "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/下载\"\n", *folder / "下载/Quorlinth"},
        {"absolute", "XDG_DOWNLOAD_DIR=\"/data/dl\"\n", "/data/dl/Quorlinth"},
        {"malformed line", "XDG_DOWNLOAD_DIR=$HOME/x\n", *folder / "Downloads/Quorlinth"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        fs::remove(folder / "config/user-dirs.dirs");
        if (row.userDirs) std::ofstream(folder / "config/user-dirs.dirs") << *row.userDirs;
        EXPECT_EQ(downloadsDir(), row.expected);
    }
}
