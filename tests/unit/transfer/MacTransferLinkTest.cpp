#include "transfer/MacTransferLink.h"

#include "ChildProcess.h"
#include "MemoryChannel.h"
#include "base/Json.h"
#include "crypto/Sha256.h"

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace quorlinth;
using namespace quorlinth::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr auto kGenerous = 20s;

std::string pattern(size_t size, unsigned seed = 7) {
    std::string data(size, '\0');
    for (size_t index = 0; index < size; ++index)
        data[index] = static_cast<char>((index * 131 + seed + index / 65536) & 0xff);
    return data;
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string sha256Hex(const std::string& data) {
    return hexEncode(crypto::sha256(data));
}

std::vector<std::string> folderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One end of a session: a link and what its callbacks reported.
struct Side {
    std::shared_ptr<MacTransferLink> link;
    fs::path downloads;
    std::vector<std::string> errors;
    std::vector<fs::path> received;
    std::vector<std::string> sent;
    std::vector<std::string> clips;
    std::vector<Bytes> images;
    std::vector<std::vector<RemoteFile>> remoteFiles;
    std::vector<MacTransferLink::Offer> offers;
    std::vector<std::optional<TransferProgress>> progress;
    std::optional<bool> hello;
    int pulls = 0;
    bool closed = false;
    bool opened = false;
    // How offers are decided; declined when unset.
    std::function<bool(const MacTransferLink::Offer&)> decide;
    TransferRoute route = TransferRoute::direct;
    bool acceptsClipboard = true;

    void attach(std::shared_ptr<TransferChannel> channel, const fs::path& root, const std::string& name) {
        downloads = root / name / "Downloads" / "Quorlinth";
        fs::create_directories(root / name / "tmp");
        link = MacTransferLink::create(std::move(channel), {downloads, root / name / "tmp"});
        link->onOpen = [this] { opened = true; };
        link->onClose = [this] { closed = true; };
        link->onHello = [this](bool enabled) { hello = enabled; };
        link->onClipboard = [this](std::string text) { clips.push_back(text); };
        link->onClipboardImage = [this](Bytes png) { images.push_back(png); };
        link->onRemoteFiles = [this](std::vector<RemoteFile> files) { remoteFiles.push_back(files); };
        link->onPull = [this] { ++pulls; };
        link->onOffer = [this](MacTransferLink::Offer offer, std::function<void(bool)> answer) {
            offers.push_back(offer);
            answer(decide && decide(offer));
        };
        link->onProgress = [this](std::optional<TransferProgress> value) { progress.push_back(value); };
        link->onReceived = [this](fs::path file) { received.push_back(file); };
        link->onSent = [this](std::string name) { sent.push_back(name); };
        link->onError = [this](std::string text) { errors.push_back(text); };
        link->route.set([this] { return route; });
        link->acceptsClipboard.set([this] { return acceptsClipboard; });
    }
};

class TransferLinkTest : public ::testing::Test {
protected:
    void SetUp() override { installMainQueue(&loop); }

    // Also sees conditions that change off the main thread (channel figures).
    bool waitUntil(const std::function<bool()>& condition) {
        Timer tick = loop.every(10ms, 10ms, [] {});
        return loop.runUntil(condition, kGenerous);
    }

    // Lets queued work run out: nothing more should happen.
    void settle() { loop.runFor(300ms); }

    // Two links joined in memory.
    void connectLinks() {
        auto [a, b] = MemoryChannel::pair();
        sender.attach(a, root.path(), "sender");
        receiver.attach(b, root.path(), "receiver");
        senderChannel = a;
        receiverChannel = b;
        a->open();
        ASSERT_TRUE(waitUntil([&] { return sender.opened && receiver.opened; }));
    }

    // A link on one end, the test speaking raw messages on the other.
    void connectRaw() {
        auto [a, b] = MemoryChannel::pair();
        receiver.attach(a, root.path(), "receiver");
        receiverChannel = a;
        raw = std::make_shared<RawPeer>(b, loop);
        b->setDelegate(raw);
        a->open();
        ASSERT_TRUE(waitUntil([&] { return receiver.opened; }));
    }

    std::optional<Json> waitForRaw(const std::string& type, int skip = 0) {
        std::optional<Json> found;
        waitUntil([&] { return (found = raw->find(type, skip)).has_value(); });
        return found;
    }

    fs::path source(const std::string& name, const std::string& content) {
        fs::path folder = root.path() / "outgoing";
        fs::create_directories(folder);
        writeFile(folder / name, content);
        return folder / name;
    }

    // A raw offer; returns its id.
    std::string rawOffer(const std::string& name, int64_t size, bool clip = false) {
        std::string id = "offer-" + std::to_string(++offers);
        raw->sendText(TransferMessage::offer(id, name, size, clip));
        return id;
    }

    RunLoop loop;
    TempDir root;
    Side sender, receiver;
    std::shared_ptr<MemoryChannel> senderChannel, receiverChannel;
    std::shared_ptr<RawPeer> raw;
    int offers = 0;
};

} // namespace

TEST_F(TransferLinkTest, SendsFilesAroundTheChunkSizeIntact) {
    connectLinks();
    receiver.decide = [](const auto&) { return true; };
    const size_t sizes[] = {0, 1, 65'535, 65'536, 65'537, 3 * 1024 * 1024 + 17};
    std::vector<fs::path> files;
    for (size_t size : sizes)
        files.push_back(
            source("file-" + std::to_string(size) + ".bin", pattern(size, static_cast<unsigned>(size))));
    sender.link->sendFiles(files);
    ASSERT_TRUE(waitUntil([&] { return sender.sent.size() == files.size() || !sender.errors.empty(); }));
    EXPECT_TRUE(sender.errors.empty()) << sender.errors.front();
    ASSERT_TRUE(waitUntil([&] { return receiver.received.size() == files.size(); }));
    for (size_t index = 0; index < files.size(); ++index) {
        SCOPED_TRACE(sizes[index]);
        EXPECT_EQ(receiver.received[index], receiver.downloads / files[index].filename());
        EXPECT_EQ(readTextFile(receiver.received[index]),
                  pattern(sizes[index], static_cast<unsigned>(sizes[index])));
        EXPECT_EQ(receiver.offers[index].size, static_cast<int64_t>(sizes[index]));
    }
    // No hidden partial file stays behind.
    EXPECT_EQ(folderEntries(receiver.downloads).size(), files.size());
    // The last progress of each direction reports the whole file.
    ASSERT_FALSE(sender.progress.empty());
    EXPECT_EQ(sender.progress.back(),
              (TransferProgress{false, files.back().filename().string(), static_cast<int64_t>(sizes[5]),
                                static_cast<int64_t>(sizes[5])}));
    EXPECT_EQ(receiver.progress.back()->done, static_cast<int64_t>(sizes[5]));
}

TEST_F(TransferLinkTest, NumbersRepeatedNamesAndKeepsOfferedNamesInsideTheFolder) {
    connectLinks();
    receiver.decide = [](const auto&) { return true; };
    fs::path a = source("a.txt", "first");
    sender.link->sendFiles({a, a, a});
    ASSERT_TRUE(waitUntil([&] { return receiver.received.size() == 3; }));
    EXPECT_EQ(folderEntries(receiver.downloads),
              (std::vector<std::string>{"a (2).txt", "a (3).txt", "a.txt"}));
}

TEST_F(TransferLinkTest, PausesAtFourMebibytesBufferedAndResumesBelowOne) {
    connectLinks();
    receiver.decide = [](const auto&) { return true; };
    senderChannel->hold(true);
    fs::path big = source("big.bin", pattern(12 * 1024 * 1024));
    sender.link->sendFiles({big});
    // The offer itself is held: release it alone, then let the chunks pile up.
    ASSERT_TRUE(waitUntil([&] { return senderChannel->bufferedAmount() > 0; }));
    senderChannel->hold(false);
    ASSERT_TRUE(waitUntil([&] { return !receiver.offers.empty(); }));
    senderChannel->hold(true);
    ASSERT_TRUE(
        waitUntil([&] { return senderChannel->bufferedAmount() >= MacTransferLink::kPauseAtBuffered; }));
    settle();
    uint64_t stalled = senderChannel->bufferedAmount();
    EXPECT_LT(stalled, MacTransferLink::kPauseAtBuffered + MacTransferLink::kChunkSize);
    senderChannel->hold(false);
    ASSERT_TRUE(waitUntil([&] { return !receiver.received.empty(); }));
    EXPECT_LT(senderChannel->peakBuffered(),
              MacTransferLink::kPauseAtBuffered + 2 * MacTransferLink::kChunkSize);
    EXPECT_EQ(readTextFile(receiver.received.front()), pattern(12 * 1024 * 1024));
}

TEST_F(TransferLinkTest, AnswersOffersByTheRules) {
    connectRaw();
    struct Case {
        const char* what;
        TransferRoute route;
        bool acceptsClipboard;
        int64_t size;
        bool clip;
        bool userAccepts;
        std::string expected; // "accept" or a reject reason
    };
    const Case cases[] = {
        {"file the user accepts", TransferRoute::direct, true, 10, false, true, "accept"},
        {"file the user declines", TransferRoute::direct, true, 10, false, false, "declined"},
        {"relay limit itself", TransferRoute::relay, true, 104'857'600, false, true, "accept"},
        {"one byte over on relay", TransferRoute::relay, true, 104'857'601, false, true, "too_large"},
        {"one byte over, route unknown", TransferRoute::unknown, true, 104'857'601, false, true, "too_large"},
        {"huge on a direct route", TransferRoute::direct, true, int64_t(1) << 40, false, true, "accept"},
        {"clipboard image when disabled", TransferRoute::direct, false, 10, true, true, "disabled"},
        {"clipboard image over 32 MiB", TransferRoute::direct, true, 33'554'433, true, true, "too_large"},
        {"clipboard image", TransferRoute::direct, true, 33'554'432, true, false, "accept"},
    };
    int answered = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        receiver.route = c.route;
        receiver.acceptsClipboard = c.acceptsClipboard;
        receiver.decide = [&](const auto&) { return c.userAccepts; };
        std::string id = rawOffer("x.bin", c.size, c.clip);
        std::optional<Json> answer;
        ASSERT_TRUE(waitUntil([&] {
            auto texts = raw->texts();
            if (static_cast<int>(texts.size()) <= answered) return false;
            answer = parseJsonObject(texts[answered]);
            return true;
        }));
        ++answered;
        EXPECT_EQ(field::string(*answer, "id"), id);
        if (c.expected == "accept") {
            EXPECT_EQ(field::string(*answer, "t"), "accept");
            raw->sendText(TransferMessage::answer(TransferMessage::Type::cancel, id));
            ASSERT_TRUE(waitUntil([&] { return !receiver.errors.empty(); }));
            EXPECT_EQ(receiver.errors.back(), "对方取消了发送");
            receiver.errors.clear();
        } else {
            EXPECT_EQ(field::string(*answer, "t"), "reject");
            EXPECT_EQ(field::string(*answer, "reason"), c.expected);
        }
    }
    EXPECT_TRUE(folderEntries(receiver.downloads).empty());
}

TEST_F(TransferLinkTest, SecondOfferWhileReceivingIsBusyAndTheFirstCompletes) {
    connectRaw();
    receiver.decide = [](const auto&) { return true; };
    std::string content = "hello, world";
    std::string first = rawOffer("first.txt", static_cast<int64_t>(content.size()));
    ASSERT_TRUE(waitForRaw("accept"));
    raw->sendBinary(toBytes(content.substr(0, 5)));
    std::string second = rawOffer("second.txt", 3);
    auto busy = waitForRaw("reject");
    ASSERT_TRUE(busy);
    EXPECT_EQ(field::string(*busy, "id"), second);
    EXPECT_EQ(field::string(*busy, "reason"), "busy");
    raw->sendBinary(toBytes(content.substr(5)));
    raw->sendText(TransferMessage::end(first, sha256Hex(content)));
    auto done = waitForRaw("done");
    ASSERT_TRUE(done);
    EXPECT_EQ(field::string(*done, "id"), first);
    ASSERT_TRUE(waitUntil([&] { return !receiver.received.empty(); }));
    EXPECT_EQ(readTextFile(receiver.received.front()), content);
}

TEST_F(TransferLinkTest, BadInputIsRefusedAndLeavesNoFile) {
    connectRaw();
    receiver.decide = [](const auto&) { return true; };
    // Chunks without an offer are ignored.
    raw->sendBinary(Bytes(100, 1));

    // A wrong hash.
    std::string id = rawOffer("hash.txt", 4);
    ASSERT_TRUE(waitForRaw("accept", 0));
    raw->sendBinary(toBytes("abcd"));
    raw->sendText(TransferMessage::end(id, sha256Hex("abce")));
    auto fail = waitForRaw("fail", 0);
    ASSERT_TRUE(fail);
    EXPECT_EQ(field::string(*fail, "id"), id);
    ASSERT_TRUE(waitUntil([&] { return receiver.errors.size() == 1; }));
    EXPECT_EQ(receiver.errors[0], "hash.txt 校验失败，已丢弃");

    // One byte too many.
    id = rawOffer("over.txt", 4);
    ASSERT_TRUE(waitForRaw("accept", 1));
    raw->sendBinary(toBytes("abc"));
    raw->sendBinary(toBytes("de"));
    ASSERT_TRUE(waitForRaw("fail", 1));
    ASSERT_TRUE(waitUntil([&] { return receiver.errors.size() == 2; }));
    EXPECT_EQ(receiver.errors[1], "收到的数据超过文件大小，已丢弃");
    // The rest of that file and its end are ignored.
    raw->sendBinary(toBytes("f"));
    raw->sendText(TransferMessage::end(id, sha256Hex("abcdef")));

    // An end before all bytes arrived.
    id = rawOffer("short.txt", 4);
    ASSERT_TRUE(waitForRaw("accept", 2));
    raw->sendBinary(toBytes("ab"));
    raw->sendText(TransferMessage::end(id, sha256Hex("ab")));
    ASSERT_TRUE(waitForRaw("fail", 2));

    // Negative sizes and malformed offers are ignored; a name of 10,000 characters is cut.
    raw->sendText(R"({"t":"offer","id":"neg","name":"n","size":-5})");
    raw->sendText(R"({"t":"offer","id":"str","name":"n","size":"5"})");
    std::string longName = std::string(10'000, 'n') + ".txt";
    id = rawOffer(longName, 2);
    ASSERT_TRUE(waitForRaw("accept", 3));
    raw->sendBinary(toBytes("ok"));
    raw->sendText(TransferMessage::end(id, sha256Hex("ok")));
    ASSERT_TRUE(waitForRaw("done", 0));
    ASSERT_TRUE(waitUntil([&] { return receiver.received.size() == 1; }));
    EXPECT_EQ(receiver.received[0], receiver.downloads / (std::string(196, 'n') + ".txt"));
    settle();
    EXPECT_EQ(receiver.errors.size(), 3u);
    EXPECT_EQ(folderEntries(receiver.downloads), (std::vector<std::string>{std::string(196, 'n') + ".txt"}));
    EXPECT_FALSE(raw->find("fail", 3));
    EXPECT_EQ(raw->texts().size(), 8u) << "no answer to ignored messages";
}

TEST_F(TransferLinkTest, SenderRefusesFilesOverTheRelayLimitAndFolders) {
    connectRaw();
    fs::path limit = root.path() / "limit.bin";
    fs::path over = root.path() / "over.bin";
    writeFile(limit, "");
    writeFile(over, "");
    fs::resize_file(limit, 104'857'600);
    fs::resize_file(over, 104'857'601);
    fs::path folder = root.path() / "folder";
    fs::create_directories(folder);
    receiver.route = TransferRoute::relay;
    receiver.link->sendFiles({over, folder, root.path() / "missing.txt", limit});
    auto offer = waitForRaw("offer");
    ASSERT_TRUE(offer);
    EXPECT_EQ(field::string(*offer, "name"), "limit.bin");
    EXPECT_EQ(field::int64(*offer, "size"), 104'857'600);
    EXPECT_EQ(field::boolean(*offer, "clip"), false);
    ASSERT_TRUE(waitUntil([&] { return receiver.errors.size() == 3; }));
    EXPECT_EQ(receiver.errors[0], "暂不支持发送文件夹：folder");
    EXPECT_EQ(receiver.errors[1], "无法读取 missing.txt");
    EXPECT_EQ(receiver.errors[2], "over.bin 超过 100 MB，中转连接下暂不发送；直连时不限大小");
}

TEST_F(TransferLinkTest, RejectionsAndFailuresReachTheSenderWithTheirTexts) {
    connectRaw();
    struct Case {
        std::string answer;
        std::string reason;
        std::string expected;
    };
    const Case cases[] = {
        {"reject", "disabled", "r.txt：对方未开启剪贴板与文件传输"},
        {"reject", "busy", "r.txt：对方正在接收其他文件"},
        {"reject", "too_large", "r.txt：文件超过中转连接的 100 MB 限制"},
        {"reject", "declined", "r.txt：对方拒绝接收"},
        {"reject", "whatever", "r.txt：对方未接收"},
        {"fail", "", "r.txt 未传送成功，请重试"},
    };
    fs::path file = source("r.txt", "12345");
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        receiver.link->sendFiles({file});
        auto offer = waitForRaw("offer", index++);
        ASSERT_TRUE(offer);
        std::string id = field::string(*offer, "id").value_or("");
        if (c.answer == "reject") {
            raw->sendText(TransferMessage::reject("not-" + id, c.reason)); // another id: ignored
            raw->sendText(TransferMessage::reject(id, c.reason));
        } else {
            raw->sendText(TransferMessage::answer(TransferMessage::Type::accept, id));
            ASSERT_TRUE(waitForRaw("end", 0));
            raw->sendText(TransferMessage::answer(TransferMessage::Type::fail, id));
        }
        ASSERT_TRUE(waitUntil([&] { return !receiver.errors.empty(); }));
        EXPECT_EQ(receiver.errors.front(), c.expected);
        receiver.errors.clear();
    }
    EXPECT_TRUE(receiver.sent.empty());
}

TEST_F(TransferLinkTest, FileChangedWhileSentIsCancelled) {
    connectRaw();
    for (bool grow : {true, false}) {
        SCOPED_TRACE(grow ? "grows" : "shrinks");
        fs::path file = source("changing.bin", pattern(200'000));
        receiver.link->sendFiles({file});
        auto offer = waitForRaw("offer", grow ? 0 : 1);
        ASSERT_TRUE(offer);
        std::string id = field::string(*offer, "id").value_or("");
        if (grow)
            std::ofstream(file, std::ios::binary | std::ios::app) << "more";
        else
            fs::resize_file(file, 100'000);
        raw->sendText(TransferMessage::answer(TransferMessage::Type::accept, id));
        auto cancel = waitForRaw("cancel", grow ? 0 : 1);
        ASSERT_TRUE(cancel);
        EXPECT_EQ(field::string(*cancel, "id"), id);
        ASSERT_TRUE(waitUntil([&] { return !receiver.errors.empty(); }));
        EXPECT_EQ(receiver.errors.front(), "文件在发送过程中被修改");
        receiver.errors.clear();
    }
    EXPECT_FALSE(raw->find("end"));
    EXPECT_LE(raw->binaryBytes(), 300'000u);
}

TEST_F(TransferLinkTest, BrokenChannelCancelsTheFile) {
    connectRaw();
    receiverChannel->failAfter = 200'000;
    fs::path file = source("lost.bin", pattern(1'000'000));
    receiver.link->sendFiles({file});
    auto offer = waitForRaw("offer");
    ASSERT_TRUE(offer);
    raw->sendText(
        TransferMessage::answer(TransferMessage::Type::accept, field::string(*offer, "id").value_or("")));
    ASSERT_TRUE(waitUntil([&] { return !receiver.errors.empty(); }));
    EXPECT_EQ(receiver.errors.front(), "连接已断开");
}

TEST_F(TransferLinkTest, PulledFilesAreAcceptedWithoutAsking) {
    connectLinks();
    fs::path file = source("copied.txt", "copied");
    sender.link->pull(1);
    ASSERT_TRUE(waitUntil([&] { return receiver.pulls == 1; }));
    receiver.link->sendFiles({file, file});
    ASSERT_TRUE(waitUntil([&] { return sender.received.size() == 1 && sender.offers.size() == 1; }));
    // The second file was not pulled: the user was asked and (by default) declined.
    ASSERT_TRUE(waitUntil([&] { return receiver.errors.size() == 1; }));
    EXPECT_EQ(receiver.errors.front(), "copied.txt：对方拒绝接收");
    EXPECT_EQ(receiver.sent, (std::vector<std::string>{"copied.txt"}));
}

TEST_F(TransferLinkTest, ClipboardTextHelloAndAnnouncedFiles) {
    connectLinks();
    sender.link->sendHello(true);
    sender.link->sendClipboardText("");
    sender.link->sendClipboardText(std::string(200'001, 'x'));
    sender.link->sendClipboardText("复制的文字");
    std::vector<RemoteFile> many;
    for (int index = 0; index < 150; ++index)
        many.push_back({"f" + std::to_string(index), index});
    many[0].name = "../../etc/passwd";
    sender.link->announceCopiedFiles(many);
    ASSERT_TRUE(waitUntil(
        [&] { return receiver.hello && !receiver.clips.empty() && !receiver.remoteFiles.empty(); }));
    EXPECT_TRUE(*receiver.hello);
    EXPECT_EQ(receiver.clips, (std::vector<std::string>{"复制的文字"}));
    ASSERT_EQ(receiver.remoteFiles.front().size(), 100u);
    EXPECT_EQ(receiver.remoteFiles.front()[0].name, "passwd");
    sender.link->sendClipboardText(std::string(200'000, 'y'));
    ASSERT_TRUE(waitUntil([&] { return receiver.clips.size() == 2; }));

    // A channel that refuses the message: the user learns the text did not go.
    senderChannel->failAfter = 0;
    sender.link->sendClipboardText("refused");
    ASSERT_TRUE(waitUntil([&] { return !sender.errors.empty(); }));
    EXPECT_EQ(sender.errors.front(), "剪贴板文字未能同步（内容过长或连接已断开）");
}

TEST_F(TransferLinkTest, ClipboardImageArrivesInMemoryAndLeavesNoFiles) {
    connectLinks();
    Bytes png = toBytes(pattern(300'000));
    std::vector<bool> completions;
    sender.link->sendClipboardImage(png, [&](bool stored) { completions.push_back(stored); });
    sender.link->sendClipboardImage({}, [&](bool stored) { completions.push_back(stored); });
    sender.link->sendClipboardImage(Bytes(33'554'433), [&](bool stored) { completions.push_back(stored); });
    // The sender hears "done" as the receiver hands the image to its own main loop.
    ASSERT_TRUE(waitUntil([&] { return completions.size() == 3 && !receiver.images.empty(); }));
    EXPECT_EQ(std::count(completions.begin(), completions.end(), true), 1);
    ASSERT_EQ(receiver.images.size(), 1u);
    EXPECT_EQ(receiver.images.front(), png);
    EXPECT_EQ(receiver.offers.size(), 0u) << "clipboard images are not asked for";
    EXPECT_TRUE(folderEntries(receiver.downloads).empty());
    EXPECT_TRUE(folderEntries(root.path() / "sender" / "tmp").empty());
    EXPECT_TRUE(sender.sent.empty());

    receiver.acceptsClipboard = false;
    sender.link->sendClipboardImage(png, [&](bool stored) { completions.push_back(stored); });
    ASSERT_TRUE(waitUntil([&] { return completions.size() == 4; }));
    EXPECT_FALSE(completions.back());
    EXPECT_TRUE(sender.errors.empty()) << "a refused clipboard image reports nothing";
}

TEST_F(TransferLinkTest, CloseAbandonsTransfersAndRemovesPartialFiles) {
    connectRaw();
    receiver.decide = [](const auto&) { return true; };
    std::vector<bool> completions;
    rawOffer("partial.bin", 1000);
    ASSERT_TRUE(waitForRaw("accept"));
    raw->sendBinary(Bytes(500, 7));
    ASSERT_TRUE(waitUntil([&] { return folderEntries(receiver.downloads).size() == 1; }));
    EXPECT_EQ(folderEntries(receiver.downloads).front().front(), '.');
    receiver.link->sendClipboardImage(Bytes(10, 1), [&](bool stored) { completions.push_back(stored); });
    ASSERT_TRUE(waitForRaw("offer"));
    receiver.link->close();
    receiver.link->close();
    ASSERT_TRUE(waitUntil([&] { return receiver.closed && completions.size() == 1; }));
    EXPECT_FALSE(completions.front());
    ASSERT_FALSE(receiver.progress.empty());
    EXPECT_EQ(receiver.progress.back(), std::nullopt);
    EXPECT_TRUE(folderEntries(receiver.downloads).empty());
    EXPECT_EQ(folderEntries(root.path() / "receiver" / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(receiverChannel->readyState(), RTCDataChannelState::closed);
    // Nothing is sent once closed.
    size_t before = raw->texts().size();
    receiver.link->sendHello(true);
    settle();
    EXPECT_EQ(raw->texts().size(), before);
}

TEST_F(TransferLinkTest, PeerClosingTheChannelClosesTheLink) {
    connectLinks();
    receiverChannel->close();
    ASSERT_TRUE(waitUntil([&] { return sender.closed && receiver.closed; }));
}

TEST_F(TransferLinkTest, FilesWaitForTheChannelToOpen) {
    auto [a, b] = MemoryChannel::pair();
    sender.attach(a, root.path(), "sender");
    receiver.attach(b, root.path(), "receiver");
    receiver.decide = [](const auto&) { return true; };
    sender.link->sendFiles({source("early.txt", "early")});
    settle();
    a->open();
    ASSERT_TRUE(waitUntil([&] { return receiver.received.size() == 1; }));
}

TEST_F(TransferLinkTest, UnwritableDownloadFolderDeclines) {
    connectRaw();
    receiver.decide = [](const auto&) { return true; };
    fs::create_directories(receiver.downloads.parent_path());
    writeFile(receiver.downloads, "a file where the folder should be");
    rawOffer("x.txt", 1);
    auto reject = waitForRaw("reject");
    ASSERT_TRUE(reject);
    EXPECT_EQ(field::string(*reject, "reason"), "declined");
    ASSERT_TRUE(waitUntil([&] { return !receiver.errors.empty(); }));
    EXPECT_EQ(receiver.errors.front(), "无法写入“下载/Quorlinth”文件夹");
}
