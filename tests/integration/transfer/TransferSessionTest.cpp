// Two engine processes in a private network namespace, each running a transfer link on the
// "transfer" channel: files of every size class, names and numbering, clipboard text and images,
// and a peer that misbehaves on the wire.

#include "ChildProcess.h"
#include "PeerProcess.h"
#include "base/Encoding.h"
#include "crypto/Sha256.h"
#include "transfer/TransferMessage.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>

using namespace quorlinth;
using namespace quorlinth::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr auto kGenerous = 30s;

bool isEvent(const Json& event, const std::string& name) {
    return field::string(event, "event").value_or("") == name;
}

std::string pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t index = 0; index < size; ++index)
        data[index] = static_cast<char>((index * 131 + seed + index / 4093) & 0xff);
    return data;
}

std::string fileSha256(const fs::path& path) {
    crypto::Sha256 hash;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hash.update(reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(in.gcount()));
    }
    return hexEncode(hash.finish());
}

std::vector<std::string> folderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A connected pair of transfer peers: the offerer stands for the controller, the answerer for
// the sharing side. Each has its own download folder.
struct Session {
    explicit Session(std::vector<std::string> flags = {}) {
        auto arguments = [&](const char* role, const fs::path& downloads) {
            std::vector<std::string> list{QUORLINTH_TRANSFER_TEST_PEER, role, "--downloads",
                                          downloads.string()};
            list.insert(list.end(), flags.begin(), flags.end());
            return list;
        };
        answerer = std::make_unique<PeerProcess>(arguments("answerer", root.path() / "host"));
        offerer = std::make_unique<PeerProcess>(arguments("offerer", root.path() / "controller"));
        offerer->relaySignalsTo(*answerer);
        answerer->relaySignalsTo(*offerer);
    }

    bool open() {
        return offerer->waitForEvent("open", kGenerous) && answerer->waitForEvent("open", kGenerous);
    }

    fs::path hostFolder() const { return root.path() / "host" / "Quorlinth"; }
    fs::path controllerFolder() const { return root.path() / "controller" / "Quorlinth"; }

    fs::path source(const std::string& name, const std::string& content) {
        fs::create_directories(root.path() / "outgoing");
        fs::path path = root.path() / "outgoing" / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // The n-th event of a kind (counting from 0); waitFor looks at each event once, in order.
    static std::optional<Json> nth(PeerProcess& peer, const std::string& name, size_t n,
                                   std::chrono::milliseconds timeout = kGenerous) {
        size_t seen = 0;
        return peer.waitFor([&](const Json& event) { return isEvent(event, name) && seen++ == n; }, timeout);
    }

    static size_t count(PeerProcess& peer, const std::string& name) {
        auto events = peer.events();
        return static_cast<size_t>(
            std::count_if(events.begin(), events.end(), [&](const Json& e) { return isEvent(e, name); }));
    }

    static void raw(PeerProcess& peer, const std::string& text) {
        peer.send({{"cmd", "raw"}, {"data", text}});
    }

    // Waits until `peer` received a message of type `type` for `id` from the other side.
    static bool heard(PeerProcess& peer, const std::string& type, const std::string& id) {
        return peer
            .waitFor(
                [&](const Json& event) {
                    const Json* message = field::object(event, "message");
                    return isEvent(event, "wire") && message && field::string(*message, "t") == type &&
                           field::string(*message, "id") == id;
                },
                kGenerous)
            .has_value();
    }

    // Offers a file as a raw message and waits for the answer.
    static bool rawOffer(PeerProcess& peer, const std::string& id, const std::string& name, int64_t size,
                         const std::string& answer = "accept") {
        raw(peer, TransferMessage::offer(id, name, size, false));
        return heard(peer, answer, id);
    }
    static void rawBinary(PeerProcess& peer, const std::string& bytes) {
        peer.send({{"cmd", "raw"}, {"binary", true}, {"data", base64Encode(toBytes(bytes))}});
    }

    TempDir root;
    std::unique_ptr<PeerProcess> answerer;
    std::unique_ptr<PeerProcess> offerer;
};

std::string sha256Hex(const std::string& data) {
    return hexEncode(crypto::sha256(data));
}

} // namespace

TEST(TransferSession, FilesOfEverySizeClassArriveIntactBothWays) {
    Session session;
    ASSERT_TRUE(session.open());
    const size_t sizes[] = {0, 1, 65'535, 65'536, 65'537, 48 * 1024 * 1024 + 3};
    Json files = Json::array();
    std::vector<std::string> digests;
    for (size_t size : sizes) {
        std::string content = pattern(size, static_cast<unsigned>(size));
        files.push_back(session.source("size-" + std::to_string(size) + ".bin", content).string());
        digests.push_back(sha256Hex(content));
    }
    session.offerer->send({{"cmd", "send"}, {"files", files}});
    for (size_t index = 0; index < std::size(sizes); ++index) {
        SCOPED_TRACE(sizes[index]);
        auto received = Session::nth(*session.answerer, "received", index, 120s);
        ASSERT_TRUE(received);
        fs::path path = field::string(*received, "path").value_or("");
        EXPECT_EQ(path, session.hostFolder() / ("size-" + std::to_string(sizes[index]) + ".bin"));
        EXPECT_EQ(fs::file_size(path), sizes[index]);
        EXPECT_EQ(fileSha256(path), digests[index]);
        ASSERT_TRUE(Session::nth(*session.offerer, "sent", index));
    }
    EXPECT_EQ(Session::count(*session.offerer, "transfer-error"), 0u);
    EXPECT_EQ(folderEntries(session.hostFolder()).size(), std::size(sizes)) << "no partial file is left";

    // And back from the sharing side, numbered beside nothing.
    session.answerer->send({{"cmd", "send"}, {"files", {files[1]}}});
    auto back = Session::nth(*session.offerer, "received", 0);
    ASSERT_TRUE(back);
    EXPECT_EQ(fs::path(field::string(*back, "path").value_or("")), session.controllerFolder() / "size-1.bin");
}

TEST(TransferSession, RepeatedAndHostileNamesStayInsideTheFolder) {
    Session session;
    ASSERT_TRUE(session.open());
    fs::path a = session.source("a.txt", "a");
    session.offerer->send({{"cmd", "send"}, {"files", {a.string(), a.string(), a.string()}}});
    ASSERT_TRUE(Session::nth(*session.answerer, "received", 2));
    // Offered names a well-behaved sender never sends.
    int index = 0;
    for (const std::string name : {"../x:y", "....", "/etc/passwd"}) {
        std::string id = "hostile-" + std::to_string(index);
        ASSERT_TRUE(Session::rawOffer(*session.offerer, id, name, 2));
        Session::rawBinary(*session.offerer, "ok");
        Session::raw(*session.offerer, TransferMessage::end(id, sha256Hex("ok")));
        ASSERT_TRUE(Session::nth(*session.answerer, "received", 3 + index));
        ++index;
    }
    EXPECT_EQ(folderEntries(session.hostFolder()),
              (std::vector<std::string>{"a (2).txt", "a (3).txt", "a.txt", "passwd", "x-y", "未命名文件"}));
    EXPECT_FALSE(fs::exists(session.root.path() / "x-y"));
}

TEST(TransferSession, BadInputIsRefusedAndTheSessionGoesOn) {
    Session session;
    ASSERT_TRUE(session.open());
    PeerProcess& bad = *session.offerer;
    PeerProcess& host = *session.answerer;
    // Chunks without an offer, a negative size and a string size change nothing.
    Session::rawBinary(bad, "stray bytes");
    Session::raw(bad, R"({"t":"offer","id":"n","name":"neg.txt","size":-1})");
    Session::raw(bad, R"({"t":"offer","id":"s","name":"str.txt","size":"3"})");
    // A wrong hash.
    ASSERT_TRUE(Session::rawOffer(bad, "h", "hash.txt", 3));
    Session::rawBinary(bad, "abc");
    Session::raw(bad, TransferMessage::end("h", sha256Hex("abd")));
    auto error = Session::nth(host, "transfer-error", 0);
    ASSERT_TRUE(error);
    EXPECT_EQ(field::string(*error, "text"), "hash.txt 校验失败，已丢弃");
    // One byte too many.
    ASSERT_TRUE(Session::rawOffer(bad, "o", "over.txt", 3));
    Session::rawBinary(bad, "abcd");
    error = Session::nth(host, "transfer-error", 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(field::string(*error, "text"), "收到的数据超过文件大小，已丢弃");
    // A second offer while a file is being received.
    ASSERT_TRUE(Session::rawOffer(bad, "first", "first.txt", 4));
    Session::rawBinary(bad, "fi");
    ASSERT_TRUE(Session::rawOffer(bad, "second", "second.txt", 4, "reject"));
    Session::rawBinary(bad, "rs");
    Session::raw(bad, TransferMessage::end("first", sha256Hex("firs")));
    // A name of 10,000 characters.
    std::string longName = std::string(10'000, 'n') + ".txt";
    ASSERT_TRUE(Session::rawOffer(bad, "long", longName, 1));
    Session::rawBinary(bad, "l");
    Session::raw(bad, TransferMessage::end("long", sha256Hex("l")));
    ASSERT_TRUE(Session::nth(host, "received", 1));
    EXPECT_EQ(folderEntries(session.hostFolder()),
              (std::vector<std::string>{"first.txt", std::string(196, 'n') + ".txt"}));
    EXPECT_EQ(Session::count(host, "offer"), 4u) << "the malformed and the busy offer never reached the user";
    // The well-behaved path still works afterwards, both ways.
    session.answerer->send({{"cmd", "send"}, {"files", {session.source("after.txt", "after").string()}}});
    ASSERT_TRUE(Session::nth(*session.offerer, "received", 0));
    EXPECT_EQ(Session::count(host, "transfer-error"), 2u);
}

// A file that changes while it is sent is cancelled on both sides, and an announcement of more
// copied files than allowed is cut to its first hundred.
TEST(TransferSession, ChangedFileIsCancelledAndLongFileListsAreCut) {
    Session session;
    ASSERT_TRUE(session.open());
    fs::path changing = session.source("changing.bin", pattern(64 << 20, 7));
    session.offerer->send({{"cmd", "send"}, {"files", {changing.string()}}});
    ASSERT_TRUE(session.answerer->waitForEvent("offer", kGenerous));
    std::ofstream(changing, std::ios::binary | std::ios::app) << "more";
    auto error = Session::nth(*session.offerer, "transfer-error", 0);
    ASSERT_TRUE(error);
    EXPECT_EQ(field::string(*error, "text"), "文件在发送过程中被修改");
    ASSERT_TRUE(session.answerer->waitFor(
        [](const Json& event) {
            return field::string(event, "event") == "wire" &&
                   field::string(event["message"], "t") == "cancel";
        },
        kGenerous));

    Json items = Json::array();
    for (int index = 0; index < 150; ++index)
        items.push_back({{"name", "f" + std::to_string(index)}, {"size", index}});
    Session::raw(*session.offerer, dumpJson({{"t", "files"}, {"items", items}}));
    auto announced = session.answerer->waitForEvent("remote-files", kGenerous);
    ASSERT_TRUE(announced);
    EXPECT_EQ(field::int64(*announced, "count"), 100);
    // The announcement came after the cancel on the same ordered channel, so the cancel is done.
    EXPECT_TRUE(folderEntries(session.hostFolder()).empty()) << "the partial file stayed";
}

TEST(TransferSession, ClipboardTextBothWaysAndAnImage) {
    Session session;
    ASSERT_TRUE(session.open());
    session.answerer->send({{"cmd", "hello"}, {"enabled", true}});
    auto hello = session.offerer->waitForEvent("hello", kGenerous);
    ASSERT_TRUE(hello);
    EXPECT_EQ(field::boolean(*hello, "enabled"), true);
    // The largest text the clipboard sends travels as one message, beyond one SCTP piece.
    std::string large(200'000, 'x');
    session.offerer->send({{"cmd", "clip"}, {"text", "来自控制端"}});
    session.offerer->send({{"cmd", "clip"}, {"text", large}});
    session.answerer->send({{"cmd", "clip"}, {"text", "from the host"}});
    auto first = Session::nth(*session.answerer, "clip", 0);
    auto second = Session::nth(*session.answerer, "clip", 1);
    auto back = Session::nth(*session.offerer, "clip", 0);
    ASSERT_TRUE(first);
    ASSERT_TRUE(back);
    ASSERT_TRUE(second);
    EXPECT_EQ(field::string(*first, "sha256"), sha256Hex("来自控制端"));
    EXPECT_EQ(field::int64(*second, "bytes"), static_cast<int64_t>(large.size()));
    EXPECT_EQ(field::string(*back, "sha256"), sha256Hex("from the host"));

    std::string png = "\x89PNG\r\n\x1a\n" + pattern(700'000, 3);
    session.offerer->send({{"cmd", "image"}, {"png", base64Encode(toBytes(png))}});
    auto image = session.answerer->waitForEvent("image", kGenerous);
    ASSERT_TRUE(image);
    EXPECT_EQ(base64Decode(field::string(*image, "png").value_or("")), toBytes(png));
    auto sent = session.offerer->waitForEvent("image-sent", kGenerous);
    ASSERT_TRUE(sent);
    EXPECT_EQ(field::boolean(*sent, "ok"), true);
    EXPECT_TRUE(folderEntries(session.hostFolder()).empty());
}

TEST(TransferSession, DeclinedFileAndClosingLeaveNothingBehind) {
    Session session;
    ASSERT_TRUE(session.open());
    session.answerer->send({{"cmd", "decide"}, {"accept", false}});
    session.offerer->send({{"cmd", "send"}, {"files", {session.source("no.txt", "no").string()}}});
    auto error = session.offerer->waitForEvent("transfer-error", kGenerous);
    ASSERT_TRUE(error);
    EXPECT_EQ(field::string(*error, "text"), "no.txt：对方拒绝接收");

    session.answerer->send({{"cmd", "decide"}, {"accept", true}});
    ASSERT_TRUE(Session::rawOffer(*session.offerer, "p", "partial.bin", 1000));
    Session::rawBinary(*session.offerer, std::string(500, 'p'));
    ASSERT_TRUE(session.answerer->waitFor(
        [](const Json& e) { return isEvent(e, "progress") && field::int64(e, "done") == 500; }, kGenerous));
    session.offerer->send({{"cmd", "close"}});
    ASSERT_TRUE(session.offerer->waitForEvent("link-closed", kGenerous));
    ASSERT_TRUE(session.answerer->waitForEvent("link-closed", kGenerous));
    EXPECT_TRUE(folderEntries(session.hostFolder()).empty());
}
