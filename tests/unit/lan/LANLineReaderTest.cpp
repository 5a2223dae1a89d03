#include "lan/LANLineReader.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace quorlinth {
namespace {

std::vector<std::string> feed(LANLineReader& reader, const std::string& bytes) {
    reader.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    std::vector<std::string> lines;
    while (auto line = reader.nextLine())
        lines.push_back(*line);
    return lines;
}

TEST(LANLineReader, SplitsLinesAcrossAndWithinReads) {
    LANLineReader reader;
    EXPECT_EQ(feed(reader, "{\"a\":1}\n{\"b\":2}\n{\"c\""),
              (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
    EXPECT_EQ(feed(reader, ":3"), std::vector<std::string>{});
    EXPECT_EQ(feed(reader, "}\n\n"), (std::vector<std::string>{"{\"c\":3}", ""}));
    EXPECT_EQ(reader.pendingBytes(), 0u);
}

TEST(LANLineReader, LimitCountsBytesWithoutLineFeed) {
    LANLineReader atLimit;
    feed(atLimit, std::string(LANLineReader::kMaxPendingBytes, 'x'));
    EXPECT_FALSE(atLimit.overflowed());
    EXPECT_EQ(feed(atLimit, "\n").size(), 1u);

    LANLineReader overLimit;
    feed(overLimit, std::string(LANLineReader::kMaxPendingBytes, 'x'));
    feed(overLimit, "x");
    EXPECT_TRUE(overLimit.overflowed());

    // Complete lines do not count, only what is left after the last line feed.
    LANLineReader afterLines;
    feed(afterLines, std::string(200'000, 'x') + "\n" + std::string(LANLineReader::kMaxPendingBytes, 'y'));
    EXPECT_FALSE(afterLines.overflowed());
}

TEST(LANLineReader, TrickledBytesFormOneLine) {
    LANLineReader reader;
    std::string message = "{\"t\":\"hello\",\"name\":\"" + std::string(5000, 'n') + "\"}";
    std::vector<std::string> lines;
    for (char c : message + "\n")
        for (auto& line : feed(reader, std::string(1, c)))
            lines.push_back(line);
    EXPECT_EQ(lines, std::vector<std::string>{message});
}

} // namespace
} // namespace quorlinth
