// The X11 clipboard backend on a private Xvfb: two independent clients stand for this program and
// another one copying; the clipboard watcher runs on top.

#include "platform/linux/X11Clipboard.h"

#include "XvfbServer.h"
#include "base/MainQueue.h"
#include "transfer/MacClipboardWatcher.h"

#include <gtest/gtest.h>
#include <thread>

using namespace quorlinth;
using namespace std::chrono_literals;

namespace {

constexpr auto kGenerous = 10s;

bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::vector<uint8_t> picture(size_t size) {
    std::vector<uint8_t> data{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    for (size_t index = data.size(); index < size; ++index)
        data.push_back(static_cast<uint8_t>(index * 7 + index / 251));
    return data;
}

class X11ClipboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(xvfb.running());
        ours = X11Clipboard::open(xvfb.display());
        other = X11Clipboard::open(xvfb.display());
        ASSERT_TRUE(ours && other);
    }

    quorlinth::testing::XvfbServer xvfb{640, 480};
    std::shared_ptr<X11Clipboard> ours;
    std::shared_ptr<X11Clipboard> other;
};

} // namespace

TEST_F(X11ClipboardTest, TextWrittenHereIsReadThereWithoutCountingTwiceHere) {
    int64_t before = ours->changeCount();
    int64_t otherBefore = other->changeCount();
    ours->writeText("你好，剪贴板");
    EXPECT_EQ(ours->changeCount(), before + 1);
    EXPECT_EQ(ours->text(), "你好，剪贴板");
    ASSERT_TRUE(eventually([&] { return other->changeCount() > otherBefore; }));
    EXPECT_EQ(other->text(), "你好，剪贴板");
    EXPECT_TRUE(other->files().empty());
    EXPECT_FALSE(other->png());
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ours->changeCount(), before + 1) << "our own ownership is no second change";
}

TEST_F(X11ClipboardTest, ImagesTravelAsPngIncludingIncrementally) {
    for (size_t size : {size_t(1000), size_t(3 * 1024 * 1024 + 5)}) {
        SCOPED_TRACE(size);
        int64_t before = ours->changeCount();
        auto png = picture(size);
        other->writePng(png);
        ASSERT_TRUE(eventually([&] { return ours->changeCount() > before; }));
        EXPECT_EQ(ours->png(), png);
        EXPECT_FALSE(ours->text());
    }
}

TEST_F(X11ClipboardTest, NewClientSeesWhatWasCopiedWithoutAChange) {
    other->writeText("copied before");
    ASSERT_TRUE(eventually([&] { return ours->text() == "copied before"; }));
    auto late = X11Clipboard::open(xvfb.display());
    ASSERT_TRUE(late);
    int64_t count = late->changeCount();
    ASSERT_TRUE(eventually([&] { return late->text() == "copied before"; }));
    EXPECT_EQ(late->changeCount(), count);
}

TEST_F(X11ClipboardTest, WatcherReportsOthersCopiesButNotItsOwnWrites) {
    RunLoop loop;
    installMainQueue(&loop);
    auto watcher = MacClipboardWatcher::create(ours);
    std::vector<std::string> texts;
    std::vector<Bytes> images;
    watcher->onText = [&](std::string text) { texts.push_back(text); };
    watcher->onImage = [&](Bytes png) { images.push_back(png); };
    watcher->start();
    other->writeText("copied elsewhere");
    ASSERT_TRUE(loop.runUntil([&] { return texts.size() == 1; }, kGenerous));
    EXPECT_EQ(texts.front(), "copied elsewhere");

    int64_t otherBefore = other->changeCount();
    watcher->writeText("from the peer");
    ASSERT_TRUE(
        eventually([&] { return other->changeCount() > otherBefore && other->text() == "from the peer"; }));
    auto png = picture(5000);
    other->writePng(png);
    ASSERT_TRUE(loop.runUntil([&] { return images.size() == 1; }, kGenerous));
    EXPECT_EQ(images.front(), png);
    watcher->writeImage(picture(700));
    loop.runFor(1500ms);
    EXPECT_EQ(texts.size(), 1u);
    EXPECT_EQ(images.size(), 1u);
}

TEST(X11ClipboardFiles, ReadsLocalFileUrlsOnly) {
    auto files = filesFromUriList("# comment\r\nfile:///home/u/a%20b.txt\r\nfile://localhost/tmp/x\r\n"
                                  "http://example.invalid/y\r\nfile://otherhost/z\r\nfile:///c%zz\r\n");
    EXPECT_EQ(files, (std::vector<std::filesystem::path>{"/home/u/a b.txt", "/tmp/x", "/c%zz"}));
}
