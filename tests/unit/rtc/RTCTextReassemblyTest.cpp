#include "rtc/RTCTextReassembly.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

constexpr size_t kPoint = RTCTextReassembly::kPartialDeliveryPoint;

// A JSON object of exactly `size` bytes.
std::string object(size_t size, char fill = 'x') {
    std::string head = R"({"type":"clip","text":")";
    return head + std::string(size - head.size() - 2, fill) + "\"}";
}

} // namespace

TEST(RTCTextReassembly, JoinsPiecesUntilTheyFormOneMessage) {
    std::string large = object(3 * kPoint + 100);
    std::string small = object(40);
    struct Row {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> delivered;
    };
    const Row rows[] = {
        {"a small message passes", {small}, {small}},
        {"small text that is not JSON passes", {"hello"}, {"hello"}},
        {"a large whole message passes", {large}, {large}},
        {"engine pieces are joined",
         {large.substr(0, kPoint + 768), large.substr(kPoint + 768, kPoint + 768),
          large.substr(2 * kPoint + 1536)},
         {large}},
        {"a message after a joined one stands alone",
         {large.substr(0, kPoint), large.substr(kPoint), small},
         {large, small}},
        {"a cut at a closing brace inside the text is no end",
         {R"({"text":")" + std::string(kPoint, '}'), std::string(10, '}') + "\"}"},
         {R"({"text":")" + std::string(kPoint + 10, '}') + "\"}"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RTCTextReassembly reassembly(4 * kPoint);
        std::vector<std::string> delivered;
        for (const auto& piece : row.pieces)
            if (auto whole = reassembly.add(piece)) delivered.push_back(*whole);
        EXPECT_EQ(delivered, row.delivered);
    }
}

// Garbage from a peer is handed on once it passes the limit, and what follows is read normally.
TEST(RTCTextReassembly, HandsOnJoinedGarbageAtTheLimit) {
    RTCTextReassembly reassembly(2 * kPoint);
    std::string garbage(kPoint, '{');
    EXPECT_FALSE(reassembly.add(garbage));
    EXPECT_FALSE(reassembly.add(garbage));
    auto handed = reassembly.add("{");
    ASSERT_TRUE(handed);
    EXPECT_EQ(handed->size(), 2 * kPoint + 1);
    EXPECT_EQ(reassembly.add(R"({"type":"pull"})"), R"({"type":"pull"})");
}
