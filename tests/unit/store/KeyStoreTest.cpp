#include "store/KeyStore.h"

#include "TestSupport.h"
#include "store/Paths.h"
#include "store/SecretServiceKeyStore.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace quorlinth;
using quorlinth::testing::ScopedEnv;
using quorlinth::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

constexpr const char* kService = "com.pelmarock.quorlinth.mac.v1";

mode_t permissions(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
}

// The behaviour every key store shares.
void exerciseKeyStore(KeyStore& store) {
    const Bytes session = toBytes(R"({"active":"a"})");
    const Bytes key{0, 1, 2, 0xff, 0, 0x80};
    EXPECT_EQ(store.read(kService, "session"), std::nullopt);
    ASSERT_TRUE(store.write(kService, "session", session));
    ASSERT_TRUE(store.write("com.pelmarock.quorlinth.lan.identity", "identity", key));
    ASSERT_TRUE(store.write(kService, "installation", toBytes("ABC")));
    EXPECT_EQ(store.read(kService, "session"), session);
    EXPECT_EQ(store.read("com.pelmarock.quorlinth.lan.identity", "identity"), key);
    EXPECT_EQ(store.read(kService, "identity"), std::nullopt) << "items are keyed by service and account";

    ASSERT_TRUE(store.write(kService, "session", toBytes("replaced")));
    EXPECT_EQ(store.read(kService, "session"), toBytes("replaced"));
    ASSERT_TRUE(store.write(kService, "empty", Bytes{}));
    EXPECT_EQ(store.read(kService, "empty"), Bytes{});

    ASSERT_TRUE(store.remove(kService, "session"));
    EXPECT_EQ(store.read(kService, "session"), std::nullopt);
    EXPECT_TRUE(store.remove(kService, "session")) << "removing an absent item succeeds";
    EXPECT_TRUE(store.remove("never.used", "nothing"));
    EXPECT_EQ(store.read(kService, "installation"), toBytes("ABC"));
}

} // namespace

TEST(FileKeyStore, StoresReadsReplacesAndRemoves) {
    ScratchFolder folder;
    FileKeyStore store(folder / "keys/keys.json");
    exerciseKeyStore(store);
    EXPECT_EQ(FileKeyStore(store.file()).read(kService, "installation"), toBytes("ABC")) << "persisted";
}

TEST(FileKeyStore, FileIsPrivateAndFolderClosed) {
    ScratchFolder folder;
    FileKeyStore store(folder / "keys/keys.json");
    ASSERT_TRUE(store.write(kService, "session", toBytes("secret")));
    EXPECT_EQ(permissions(folder / "keys"), 0700u);
    EXPECT_EQ(permissions(store.file()), 0600u);
    std::ifstream in(store.file());
    const std::string contents((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(contents.find("secret"), std::string::npos) << "values are stored base64-encoded";
    EXPECT_NE(contents.find(base64Encode(toBytes("secret"))), std::string::npos);
}

TEST(FileKeyStore, CorruptFileReadsAsEmptyAndIsReplaced) {
    ScratchFolder folder;
    const fs::path file = folder / "keys.json";
    for (const char* contents : {"not json", R"({"svc": "not an object"})", R"({"svc": {"acc": 5}})",
                                 R"({"svc": {"acc": "%%%"}})"}) {
        SCOPED_TRACE(contents);
        std::ofstream(file, std::ios::trunc) << contents;
        FileKeyStore store(file);
        EXPECT_EQ(store.read("svc", "acc"), std::nullopt);
        EXPECT_TRUE(store.remove("svc", "acc"));
        ASSERT_TRUE(store.write("svc", "acc", toBytes("v")));
        EXPECT_EQ(store.read("svc", "acc"), toBytes("v"));
    }
}

TEST(FileKeyStore, ConcurrentProcessesLoseNoItems) {
    ScratchFolder folder;
    const fs::path file = folder / "keys/keys.json";
    constexpr int kProcesses = 4, kItems = 25;
    std::vector<pid_t> children;
    for (int process = 0; process < kProcesses; ++process) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FileKeyStore store(file);
            bool stored = true;
            for (int item = 0; item < kItems; ++item) {
                stored = stored && store.write(kService, std::to_string(process) + "." + std::to_string(item),
                                               toBytes("v"));
            }
            ::_exit(stored ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    FileKeyStore store(file);
    int found = 0;
    for (int process = 0; process < kProcesses; ++process) {
        for (int item = 0; item < kItems; ++item) {
            found += store.read(kService, std::to_string(process) + "." + std::to_string(item)).has_value();
        }
    }
    EXPECT_EQ(found, kProcesses * kItems);
}

TEST(FileKeyStore, WriteFailureIsReported) {
    ScratchFolder folder;
    std::ofstream(folder / "occupied") << "a file where the folder should be";
    FileKeyStore store(folder / "occupied/keys.json");
    EXPECT_FALSE(store.write(kService, "session", toBytes("x")));
    EXPECT_EQ(store.read(kService, "session"), std::nullopt);
}

// The reason is shown inside a Chinese sentence: no library wording in it.
TEST(FileKeyStore, WriteFailureIsSaidInChinese) {
    ScratchFolder folder;
    std::ofstream(folder / "occupied") << "a file where the folder should be";
    FileKeyStore blockedFolder(folder / "occupied/keys/keys.json");
    auto written = blockedFolder.write(kService, "session", toBytes("x"));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), "无法创建文件夹 " + (folder / "occupied/keys").string());
}

TEST(MakeKeyStore, FallsBackToAFileUnderTheDataHomeWithoutASessionBus) {
    ScratchFolder first, second;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    {
        ScopedEnv data("XDG_DATA_HOME", (*first).string());
        std::unique_ptr<KeyStore> store = makeKeyStore();
        auto* fileStore = dynamic_cast<FileKeyStore*>(store.get());
        ASSERT_NE(fileStore, nullptr);
        EXPECT_EQ(fileStore->file().parent_path().parent_path(), appDataDir());
        ASSERT_TRUE(store->write(kService, "session", toBytes("first")));
    }
    {
        ScopedEnv data("XDG_DATA_HOME", (*second).string());
        EXPECT_EQ(makeKeyStore()->read(kService, "session"), std::nullopt);
    }
    ScopedEnv data("XDG_DATA_HOME", (*first).string());
    EXPECT_EQ(makeKeyStore()->read(kService, "session"), toBytes("first"));
}

// Runs against a private gnome-keyring on a private session bus: the test re-executes itself
// inside dbus-run-session with its own HOME, data and runtime folders, so no real keyring is
// touched.
TEST(SecretServiceKeyStore, StoresReadsReplacesAndRemovesInAPrivateKeyring) {
    if (std::getenv("QUORLINTH_KEYRING_CHILD")) {
        std::unique_ptr<KeyStore> store = makeKeyStore();
        ASSERT_NE(dynamic_cast<SecretServiceKeyStore*>(store.get()), nullptr) << "the keyring did not answer";
        exerciseKeyStore(*store);
        return;
    }
    if (std::system("command -v dbus-run-session >/dev/null && command -v gnome-keyring-daemon >/dev/null") !=
        0) {
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";
    }
    ScratchFolder folder;
    fs::create_directories(folder / "data");
    fs::create_directories(folder / "runtime");
    fs::permissions(folder / "runtime", fs::perms::owner_all);
    const std::string command = "cd " + (*folder).string() +
                                " && env -u DISPLAY QUORLINTH_KEYRING_CHILD=1 HOME=" + (*folder).string() +
                                " XDG_DATA_HOME=" + (folder / "data").string() +
                                " XDG_RUNTIME_DIR=" + (folder / "runtime").string() +
                                " dbus-run-session -- sh -c 'echo -n pw | gnome-keyring-daemon --unlock "
                                "--components=secrets "
                                ">/dev/null 2>&1; exec \"$0\" --gtest_filter=SecretServiceKeyStore.*' " +
                                fs::read_symlink("/proc/self/exe").string() + " >output.txt 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(folder / "output.txt");
    const std::string output((std::istreambuf_iterator<char>(in)), {});
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}
