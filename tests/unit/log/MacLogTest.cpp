#include "log/MacLog.h"

#include "../store/TestSupport.h"
#include "store/Paths.h"

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

using namespace quorlinth;
using quorlinth::testing::ScopedEnv;
using quorlinth::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Whole lines of 100 bytes, with a shorter last line to reach exactly `size` bytes.
std::string logOfSize(size_t size) {
    std::string text;
    text.reserve(size);
    while (text.size() + 100 <= size)
        text += std::string(99, 'x') + "\n";
    if (text.size() < size) text += std::string(size - text.size() - 1, 'y') + "\n";
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "the text ends with a line feed";
    return lines;
}

const std::regex kLine(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z (.*))");

} // namespace

TEST(MacLog, WritesOneStampedLinePerMessage) {
    ScratchFolder folder;
    MacLog log(folder / "logs", true);
    log.log("状态 已连接");
    log.log("first\nsecond\n");
    log.log("");
    log.flush();
    const std::optional<std::string> text = readFile(folder / "logs/quorlinth.log");
    ASSERT_TRUE(text);
    const std::vector<std::string> lines = linesOf(*text);
    const std::vector<std::string> messages = {"状态 已连接", "first second ", ""};
    ASSERT_EQ(lines.size(), messages.size());
    for (size_t index = 0; index < lines.size(); ++index) {
        SCOPED_TRACE(lines[index]);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[index], match, kLine));
        EXPECT_EQ(match[1], messages[index]);
    }
    EXPECT_FALSE(fs::exists(folder / "logs/quorlinth.1.log"));
}

TEST(MacLog, RotatesOnlyAboveOneMillionBytes) {
    struct Case {
        const char* name;
        size_t currentSize;
        std::optional<std::string> previous;
        bool rotates;
    };
    const Case cases[] = {
        {"exactly 1,000,000 bytes is appended to", 1'000'000, std::nullopt, false},
        {"1,000,000 bytes keeps the previous generation", 1'000'000, "old previous\n", false},
        {"1,000,001 bytes rotates without a previous generation", 1'000'001, std::nullopt, true},
        {"1,000,001 bytes replaces the previous generation", 1'000'001, "old previous\n", true},
        {"a much larger file rotates", 3'000'000, "old previous\n", true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        ScratchFolder folder;
        const std::string current = logOfSize(row.currentSize);
        ASSERT_EQ(current.size(), row.currentSize);
        writeFile(folder / "quorlinth.log", current);
        if (row.previous) writeFile(folder / "quorlinth.1.log", *row.previous);

        MacLog log(*folder, true);
        log.log("next");
        log.flush();

        const std::string currentAfter = readFile(folder / "quorlinth.log").value_or("<missing>");
        if (row.rotates) {
            EXPECT_EQ(readFile(folder / "quorlinth.1.log"), current);
            ASSERT_EQ(linesOf(currentAfter).size(), 1u);
            EXPECT_TRUE(std::regex_match(linesOf(currentAfter)[0], kLine));
        } else {
            EXPECT_EQ(readFile(folder / "quorlinth.1.log"), row.previous);
            EXPECT_EQ(currentAfter.substr(0, current.size()), current);
            EXPECT_EQ(linesOf(currentAfter.substr(current.size())).size(), 1u);
        }
        EXPECT_LE(std::distance(fs::directory_iterator(*folder), fs::directory_iterator{}), 2);
    }
}

TEST(MacLog, DisabledLogWritesNothing) {
    ScratchFolder folder;
    MacLog log(folder / "logs", false);
    EXPECT_FALSE(log.enabled());
    log.log("should not appear");
    log.flush();
    EXPECT_FALSE(fs::exists(folder / "logs"));
    EXPECT_EQ(log.tail(1000), "");
}

TEST(MacLog, TestHarnessDisablesTheSharedLog) {
    ScopedEnv test("QUORLINTH_TEST", "1");
    EXPECT_TRUE(runningUnderTestHarness());
    EXPECT_FALSE(MacLog::shared().enabled());
    EXPECT_EQ(MacLog::shared().folder(), appStateDir() / "logs");
    {
        ScopedEnv unset("QUORLINTH_TEST", std::nullopt);
        EXPECT_FALSE(runningUnderTestHarness());
        ScopedEnv xctest("XCTestConfigurationFilePath", "/tmp/config");
        EXPECT_TRUE(runningUnderTestHarness());
    }
}

TEST(MacLog, ConcurrentWritersKeepLinesWhole) {
    ScratchFolder folder;
    MacLog log(*folder, true);
    std::vector<std::thread> writers;
    for (int writer = 0; writer < 4; ++writer) {
        writers.emplace_back([&log, writer] {
            for (int line = 0; line < 250; ++line)
                log.log("writer " + std::to_string(writer) + " line " + std::to_string(line));
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    const std::vector<std::string> lines = linesOf(log.tail(1'000'000));
    ASSERT_EQ(lines.size(), 1000u);
    for (const std::string& line : lines)
        ASSERT_TRUE(std::regex_match(line, kLine)) << line;
}

TEST(MacLog, TailCutsAtLineStartsAcrossBothGenerations) {
    struct Case {
        const char* name;
        std::optional<std::string> previous, current;
        size_t maxBytes;
        std::string expected;
    };
    const Case cases[] = {
        {"shorter than the limit is the whole text", "p1\n", "c1\nc2\n", 100, "p1\nc1\nc2\n"},
        {"exactly the limit", "p1\n", "c1\n", 6, "p1\nc1\n"},
        {"cut mid-line starts at the next line", std::nullopt, "aaaa\nbbbb\ncccc\n", 12, "bbbb\ncccc\n"},
        {"cut on a line start keeps that line", std::nullopt, "aaaa\nbbbb\ncccc\n", 10, "bbbb\ncccc\n"},
        {"cut just after a line start drops it", std::nullopt, "aaaa\nbbbb\ncccc\n", 9, "cccc\n"},
        {"cut inside the previous generation", "p1\np2\n", "c1\n", 7, "p2\nc1\n"},
        {"cut inside the current file only", "p1\np2\n", "c1\nc2\n", 4, "c2\n"},
        {"missing previous generation", std::nullopt, "c1\n", 100, "c1\n"},
        {"missing current file", "p1\n", std::nullopt, 100, "p1\n"},
        {"both missing", std::nullopt, std::nullopt, 100, ""},
        {"no line start inside the cut", std::nullopt, "one long line without end", 10, ""},
        {"zero bytes", "p1\n", "c1\n", 0, ""},
        {"previous generation cut short by a crash", "p1\nhalf", "c1\n", 100, "p1\nhalf\nc1\n"},
        {"invalid UTF-8 is repaired", std::nullopt, "ok \xff\xfe end\n\xe4\xb8\n", 100,
         "ok \uFFFD\uFFFD end\n\uFFFD\n"},
        {"cut through a character drops the partial line", std::nullopt, "\xe4\xb8\xad\xe6\x96\x87\nnext\n",
         7, "next\n"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        ScratchFolder folder;
        if (row.previous) writeFile(folder / "quorlinth.1.log", *row.previous);
        if (row.current) writeFile(folder / "quorlinth.log", *row.current);
        MacLog log(*folder, true);
        EXPECT_EQ(log.tail(row.maxBytes), row.expected);
    }
}

TEST(MacLog, TailSeesEveryEarlierWrite) {
    ScratchFolder folder;
    MacLog log(*folder, true);
    for (int line = 0; line < 100; ++line)
        log.log("line " + std::to_string(line));
    const std::vector<std::string> lines = linesOf(log.tail(100'000));
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_TRUE(lines.back().ends_with(" line 99"));
}
