#include "transfer/SafeFileName.h"

#include "ChildProcess.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace quorlinth;
namespace fs = std::filesystem;

namespace {

size_t characters(const std::string& text) {
    size_t count = 0;
    for (unsigned char byte : text)
        count += (byte & 0xC0) != 0x80;
    return count;
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace

TEST(SafeFileName, KeepsNamesInsideTheFolderAndPrintable) {
    struct Case {
        std::string offered;
        std::string expected;
    };
    const Case cases[] = {
        {"report.pdf", "report.pdf"},
        {"../x:y", "x-y"},
        {"...", "未命名文件"},
        {".", "未命名文件"},
        {"..", "未命名文件"},
        {"", "未命名文件"},
        {"/", "未命名文件"},
        {"a/b/", "b"},
        {"/etc/passwd", "passwd"},
        {".bashrc", "bashrc"},
        {"..\\..\\x", "\\..\\x"},
        {"line\nbreak\r\v\f.txt", "linebreak.txt"},
        {std::string("nul\0byte", 8), "nulbyte"},
        {"tab\tesc\x1b.txt", "tabesc.txt"},
        {"next\u0085line\u2028para\u2029.txt", "nextlinepara.txt"},
        {"evil\u202Etxt.exe", "eviltxt.exe"},
        {"bad\xff\xfe.txt", "bad\uFFFD\uFFFD.txt"},
        {"中文 名字.txt", "中文 名字.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offered);
        EXPECT_EQ(safeFileName(c.offered), c.expected);
    }
}

TEST(SafeFileName, LongNamesKeepTheirEndAndFitTheFileSystem) {
    std::string ascii = std::string(250, 'a') + ".txt";
    std::string safe = safeFileName(ascii);
    EXPECT_EQ(characters(safe), 200u);
    EXPECT_EQ(safe, std::string(196, 'a') + ".txt");

    std::string chinese;
    for (int index = 0; index < 150; ++index)
        chinese += "文";
    safe = safeFileName(chinese + ".png");
    EXPECT_LE(safe.size(), kMaxNameBytes);
    EXPECT_EQ(safe.substr(safe.size() - 4), ".png");

    // A cut that exposes a dot would hide the file.
    safe = safeFileName("x" + std::string(199, '.') + "png");
    EXPECT_EQ(safe, "png");

    safe = safeFileName(std::string(10'000, 'n') + ".bin");
    EXPECT_EQ(characters(safe), 200u);
}

TEST(SafeFileName, NumbersCarryTheExtension) {
    EXPECT_EQ(numberedName("a.txt", 2), "a (2).txt");
    EXPECT_EQ(numberedName("archive.tar.gz", 3), "archive.tar (3).gz");
    EXPECT_EQ(numberedName("README", 2), "README (2)");
    EXPECT_EQ(numberedName("trailing.", 2), "trailing. (2)");
}

TEST(SafeFileName, MovesIntoTheFolderWithoutReplacingAnything) {
    quorlinth::testing::TempDir folder;
    writeFile(folder.path() / "a.txt", "original");
    std::vector<std::string> names;
    for (int round = 0; round < 2; ++round) {
        fs::path partial = folder.path() / (".part" + std::to_string(round));
        writeFile(partial, "new " + std::to_string(round));
        auto moved = moveIntoFolder(partial, folder.path(), "a.txt");
        ASSERT_TRUE(moved) << moved.error();
        EXPECT_FALSE(fs::exists(partial));
        names.push_back(moved.value().filename().string());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a (2).txt", "a (3).txt"}));
    EXPECT_EQ(quorlinth::testing::readTextFile(folder.path() / "a.txt"), "original");
    EXPECT_EQ(quorlinth::testing::readTextFile(folder.path() / "a (3).txt"), "new 1");

    auto missing = moveIntoFolder(folder.path() / "nothing", folder.path(), "b.txt");
    EXPECT_FALSE(missing);
}
