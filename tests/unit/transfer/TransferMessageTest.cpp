#include "transfer/TransferMessage.h"

#include "base/Json.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using Type = TransferMessage::Type;

TEST(TransferMessage, ReadsEachTypeWithItsFields) {
    auto offer = TransferMessage::read(R"({"t":"offer","id":"A","name":"a.txt","size":5,"clip":true})");
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->type, Type::offer);
    EXPECT_EQ(offer->id, "A");
    EXPECT_EQ(offer->name, "a.txt");
    EXPECT_EQ(offer->size, 5);
    EXPECT_TRUE(offer->clip);

    auto reject = TransferMessage::read(R"({"t":"reject","id":"A","reason":"busy"})");
    ASSERT_TRUE(reject);
    EXPECT_EQ(reject->reason, "busy");
    auto end = TransferMessage::read(R"({"t":"end","id":"A","sha256":"ab"})");
    ASSERT_TRUE(end);
    EXPECT_EQ(end->sha256, "ab");
    auto clip = TransferMessage::read(R"({"t":"clip","text":"你好"})");
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->text, "你好");
    for (const char* type : {"pull", "accept", "done", "fail", "cancel"}) {
        SCOPED_TRACE(type);
        auto message = TransferMessage::read(std::string(R"({"t":")") + type + R"(","id":"X"})");
        ASSERT_TRUE(message);
        EXPECT_EQ(message->id, "X");
    }
}

TEST(TransferMessage, BuildersRoundTripThroughTheReader) {
    auto offer = TransferMessage::read(TransferMessage::offer("id-1", "名字.png", 65537, false));
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->name, "名字.png");
    EXPECT_EQ(offer->size, 65537);
    EXPECT_FALSE(offer->clip);
    auto files = TransferMessage::read(TransferMessage::files({{"a", 1}, {"b", 2}}));
    ASSERT_TRUE(files);
    EXPECT_EQ(files->items, (std::vector<RemoteFile>{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(TransferMessage::read(TransferMessage::answer(Type::done, "z"))->type, Type::done);
    EXPECT_TRUE(TransferMessage::read(TransferMessage::hello(true))->enabled);
}

TEST(TransferMessage, IgnoresWhatThePeerMustNotSend) {
    std::string longClip = R"({"t":"clip","text":")" + std::string(200'001, 'x') + R"("})";
    std::string padded =
        R"({"t":"pull","pad":")" + std::string(TransferMessage::kMaxTextMessage, 'x') + R"("})";
    const std::string cases[] = {
        "",
        "not json",
        "[1,2]",
        R"("offer")",
        R"({"type":"offer"})",
        R"({"t":"teleport"})",
        R"({"t":7})",
        R"({"t":"clip","text":""})",
        R"({"t":"clip","text":5})",
        longClip,
        padded,
        R"({"t":"offer","name":"a","size":1})",
        R"({"t":"offer","id":"A","size":1})",
        R"({"t":"offer","id":"A","name":"a"})",
        R"({"t":"offer","id":"A","name":"a","size":-1})",
        R"({"t":"offer","id":"A","name":"a","size":1.5})",
        R"({"t":"offer","id":"A","name":"a","size":1e30})",
        R"({"t":"offer","id":"A","name":"a","size":"5"})",
        R"({"t":"offer","id":7,"name":"a","size":5})",
        "{\"t\":\"hello\",\"enabled\":true,\"x\":\"\xff\"}",
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(text.substr(0, 80));
        EXPECT_FALSE(TransferMessage::read(text));
    }
}

TEST(TransferMessage, WronglyTypedOptionalFieldsTakeTheirDefaults) {
    auto hello = TransferMessage::read(R"({"t":"hello","enabled":"yes"})");
    ASSERT_TRUE(hello);
    EXPECT_FALSE(hello->enabled);
    auto offer = TransferMessage::read(R"({"t":"offer","id":"A","name":"a","size":0,"clip":1})");
    ASSERT_TRUE(offer);
    EXPECT_FALSE(offer->clip);
    auto accept = TransferMessage::read(R"({"t":"accept","id":5})");
    ASSERT_TRUE(accept);
    EXPECT_EQ(accept->id, "");
    auto clip = TransferMessage::read(R"({"t":"clip","text":")" + std::string(200'000, 'x') + R"("})");
    ASSERT_TRUE(clip);
}

TEST(TransferMessage, FilesKeepTheFirstHundredWellFormedItems) {
    Json items = Json::array();
    items.push_back({{"name", 5}, {"size", 1}});
    items.push_back({{"name", "no size"}});
    items.push_back("string item");
    items.push_back({{"name", "float"}, {"size", 2.5}});
    items.push_back({{"name", "negative"}, {"size", -3}});
    for (int index = 0; index < 150; ++index)
        items.push_back({{"name", "f" + std::to_string(index)}, {"size", index}});
    auto files = TransferMessage::read(dumpJson({{"t", "files"}, {"items", items}}));
    ASSERT_TRUE(files);
    ASSERT_EQ(files->items.size(), 100u);
    EXPECT_EQ(files->items[0], (RemoteFile{"float", 2}));
    EXPECT_EQ(files->items[1], (RemoteFile{"negative", 0}));
    EXPECT_EQ(files->items[99], (RemoteFile{"f97", 97}));
    EXPECT_TRUE(TransferMessage::read(R"({"t":"files","items":{}})")->items.empty());
}
