#include "lan/MacLANLink.h"

#include "LoopbackPeer.h"
#include "lan/LANConnection.h"
#include "lan/LANIdentity.h"

#include <gtest/gtest.h>
#include <vector>

namespace quorlinth {
namespace {

using testing::LoopbackListener;
using testing::LoopbackPeer;

// A link dialled to a plain socket the test writes and reads.
class LinkOverLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        link = MacLANLink::create(LANConnection::outgoing("127.0.0.1", listener.port()), loop);
        link->onMessage = [this](Json message) { messages.push_back(std::move(message)); };
        link->onClose = [this] { ++closes; };
        link->start();
        peer = std::make_unique<LoopbackPeer>(listener.accept());
        ASSERT_TRUE(peer->connected());
    }
    bool waitForMessages(size_t count) {
        return loop.runUntil([&] { return messages.size() >= count; }, Millis(10'000));
    }
    bool waitForClose() {
        return loop.runUntil([&] { return closes > 0; }, Millis(10'000));
    }

    RunLoop loop;
    LoopbackListener listener;
    std::shared_ptr<MacLANLink> link;
    std::unique_ptr<LoopbackPeer> peer;
    std::vector<Json> messages;
    int closes = 0;
};

TEST_F(LinkOverLoopback, DeliversEachObjectLineOnceInOrder) {
    peer->write("{\"t\":\"a\"}\n{\"t\":\"b\"}\n{\"t\":\"c\",\"m\":{\"n\":");
    ASSERT_TRUE(waitForMessages(2));
    loop.runFor(Millis(100)); // the split third message must wait for its line feed
    EXPECT_EQ(messages.size(), 2u);
    peer->write("1}}\n");
    ASSERT_TRUE(waitForMessages(3));
    EXPECT_EQ(messages[0]["t"], "a");
    EXPECT_EQ(messages[1]["t"], "b");
    EXPECT_EQ(messages[2]["m"]["n"], 1);
    EXPECT_EQ(closes, 0);
}

TEST_F(LinkOverLoopback, DropsLinesThatAreNotObjectsAndStaysOpen) {
    peer->write("\n[]\n42\n\"text\"\nnot json\n{\"t\":\n\xff\xfe\n{\"t\":\"kept\"}\n");
    ASSERT_TRUE(waitForMessages(1));
    loop.runFor(Millis(50));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["t"], "kept");
    EXPECT_EQ(closes, 0);
    EXPECT_FALSE(link->isClosed());
}

TEST_F(LinkOverLoopback, KeepsTheLimitAndClosesOneByteOverIt) {
    peer->write(std::string(LANLineReader::kMaxPendingBytes, 'x'));
    peer->write("\n{\"t\":\"after\"}\n");
    ASSERT_TRUE(waitForMessages(1));
    EXPECT_EQ(messages[0]["t"], "after");
    EXPECT_EQ(closes, 0);

    peer->write(std::string(LANLineReader::kMaxPendingBytes + 1, 'x'));
    ASSERT_TRUE(waitForClose());
    EXPECT_TRUE(peer->waitForEnd());
    EXPECT_EQ(closes, 1);
}

TEST_F(LinkOverLoopback, SendsCompactLinesAndClosesAfterSendAndClose) {
    link->send({{"t", "hello"}, {"name", "甲"}});
    link->sendAndClose({{"t", "rejected"}, {"reason", "busy"}});
    link->send({{"t", "late"}}); // queued before the close completes: may or may not travel
    EXPECT_EQ(peer->readLine(), "{\"name\":\"甲\",\"t\":\"hello\"}");
    EXPECT_EQ(peer->readLine(), "{\"reason\":\"busy\",\"t\":\"rejected\"}");
    ASSERT_TRUE(waitForClose());
    EXPECT_TRUE(peer->waitForEnd());
    link->send({{"t", "after close"}});
    EXPECT_EQ(closes, 1);
}

TEST_F(LinkOverLoopback, CloseIsFinalAndReportedOnce) {
    link->close();
    link->close();
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(peer->waitForEnd());
    peer->write("{\"t\":\"ignored\"}\n");
    loop.runFor(Millis(50));
    EXPECT_TRUE(messages.empty());
}

TEST_F(LinkOverLoopback, PeerEndingTheStreamClosesTheLink) {
    peer->write("{\"t\":\"last\"}\n");
    peer->shutdownWrite();
    ASSERT_TRUE(waitForClose());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(closes, 1);
}

TEST_F(LinkOverLoopback, HandlerMayCloseTheLinkMidSegment) {
    link->onMessage = [this](Json message) {
        messages.push_back(message);
        link->close();
    };
    peer->write("{\"t\":\"one\"}\n{\"t\":\"two\"}\n");
    ASSERT_TRUE(waitForClose());
    loop.runFor(Millis(50));
    EXPECT_EQ(messages.size(), 1u);
}

TEST(MacLANLink, RefusedConnectionCloses) {
    RunLoop loop;
    uint16_t port;
    {
        LoopbackListener closedAgain; // a port nobody listens on any more
        port = closedAgain.port();
    }
    auto link = MacLANLink::create(LANConnection::outgoing("127.0.0.1", port), loop);
    int closes = 0;
    link->onClose = [&] { ++closes; };
    link->start();
    EXPECT_TRUE(loop.runUntil([&] { return closes == 1; }, Millis(10'000)));
}

TEST(MacLANLink, RtcMessageSignsOnlyWhenThereIsSdp) {
    auto key = crypto::P256SigningKey::generate();
    Json offer = rtcMessage({{"type", "offer"}, {"sdp", "v=0"}}, key);
    EXPECT_EQ(offer["t"], "rtc");
    EXPECT_EQ(offer["m"]["sdp"], "v=0");
    EXPECT_TRUE(verify(publicKeyText(key), offer["sig"].get<std::string>(), "sdp|v=0"));

    Json candidate = rtcMessage({{"type", "ice"}, {"candidate", "candidate:1"}}, key);
    EXPECT_FALSE(candidate.contains("sig"));
    Json numericSdp = rtcMessage({{"type", "answer"}, {"sdp", 5}}, key);
    EXPECT_FALSE(numericSdp.contains("sig"));
}

} // namespace
} // namespace quorlinth
