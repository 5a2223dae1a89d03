#include "account/QRTerminalText.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace quorlinth;

namespace {

// The module grid read back from the half blocks: true for dark.
std::vector<std::vector<bool>> modules(const std::string& text) {
    std::vector<std::vector<bool>> rows;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        std::vector<bool> upper, lower;
        for (size_t at = 0; at < line.size();) {
            std::string glyph = line[at] == ' ' ? " " : line.substr(at, 3);
            at += glyph.size();
            upper.push_back(glyph == " " || glyph == "▄");
            lower.push_back(glyph == " " || glyph == "▀");
        }
        rows.push_back(upper);
        rows.push_back(lower);
        start = end + 1;
    }
    return rows;
}

bool finderAt(const std::vector<std::vector<bool>>& grid, size_t top, size_t left) {
    for (size_t r = 0; r < 7; ++r)
        for (size_t c = 0; c < 7; ++c) {
            bool ring = r == 0 || r == 6 || c == 0 || c == 6;
            bool core = r >= 2 && r <= 4 && c >= 2 && c <= 4;
            if (grid[top + r][left + c] != (ring || core)) return false;
        }
    return true;
}

} // namespace

TEST(QRTerminalText, DrawsTheCodeInsideAQuietZone) {
    auto text = qrTerminalText("quorlinth://qr-login?id=3f1c9a2e-5b7d-4e21-9c0a-8d6f4b2e1a77");
    ASSERT_TRUE(text);
    auto grid = modules(*text);
    const size_t side = grid.front().size();
    ASSERT_EQ((side - 8 - 21) % 4, 0u) << "a QR version's width plus the quiet zone";
    EXPECT_GE(grid.size(), side);
    for (const auto& row : grid)
        ASSERT_EQ(row.size(), side);
    for (size_t i = 0; i < side; ++i)
        for (size_t q = 0; q < 4; ++q) {
            EXPECT_FALSE(grid[q][i] || grid[i][q] || grid[side - 1 - q][i] || grid[i][side - 1 - q])
                << "quiet zone at " << q << "," << i;
        }
    EXPECT_TRUE(finderAt(grid, 4, 4));
    EXPECT_TRUE(finderAt(grid, 4, side - 11));
    EXPECT_TRUE(finderAt(grid, side - 11, 4));
}

TEST(QRTerminalText, RefusesWhatNoCodeHolds) {
    EXPECT_FALSE(qrTerminalText(""));
    EXPECT_FALSE(qrTerminalText(std::string(8000, 'x')));
}
