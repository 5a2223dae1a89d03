#include "store/AtomicFile.h"

#include "TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace quorlinth;
using quorlinth::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    return names;
}

} // namespace

TEST(AtomicFile, ReplacesContentsAndAppliesMode) {
    ScratchFolder folder;
    const fs::path file = folder / "settings.json";
    ASSERT_TRUE(writeFileAtomically(file, "first", 0600));
    ASSERT_TRUE(writeFileAtomically(file, "second", 0600));
    EXPECT_EQ(readSmallFile(file, 100), "second");
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(filesIn(*folder), std::vector<fs::path>{"settings.json"}) << "no temporary file is left behind";
}

TEST(AtomicFile, FailureLeavesNoTemporaryFileAndReportsIt) {
    ScratchFolder folder;
    const Result<void> missingFolder = writeFileAtomically(folder / "absent/file.json", "x");
    ASSERT_FALSE(missingFolder);
    EXPECT_NE(missingFolder.error().find("absent"), std::string::npos);

    fs::create_directory(folder / "target-is-a-folder");
    EXPECT_FALSE(writeFileAtomically(folder / "target-is-a-folder", "x"));
    EXPECT_EQ(filesIn(*folder), std::vector<fs::path>{"target-is-a-folder"});
}

// A writer killed in the middle of writing (here by exceeding its file size limit) leaves the
// previous file complete.
TEST(AtomicFile, CrashMidWriteKeepsTheOldFile) {
    ScratchFolder folder;
    const fs::path file = folder / "defaults.json";
    ASSERT_TRUE(writeFileAtomically(file, "old contents"));
    const std::string large(1 << 20, 'n');

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit noCore{0, 0}, smallFiles{4096, 4096};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_FSIZE, &smallFiles);
        (void)writeFileAtomically(file, large);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer was expected to die mid-write";
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);

    EXPECT_EQ(filesIn(*folder).size(), 2u) << "the dead writer's partial temporary file stays";
    EXPECT_EQ(readSmallFile(file, 100), "old contents");
    ASSERT_TRUE(writeFileAtomically(file, "new contents"));
    EXPECT_EQ(readSmallFile(file, 100), "new contents");
}

TEST(AtomicFile, ReadSmallFileRefusesWhatItCannotUse) {
    ScratchFolder folder;
    ASSERT_TRUE(writeFileAtomically(folder / "ten", "0123456789"));
    EXPECT_EQ(readSmallFile(folder / "ten", 10), "0123456789");
    EXPECT_EQ(readSmallFile(folder / "ten", 9), std::nullopt);
    EXPECT_EQ(readSmallFile(folder / "missing", 10), std::nullopt);
    EXPECT_EQ(readSmallFile(*folder, 10), std::nullopt);
    ASSERT_TRUE(writeFileAtomically(folder / "empty", ""));
    EXPECT_EQ(readSmallFile(folder / "empty", 10), "");
}
