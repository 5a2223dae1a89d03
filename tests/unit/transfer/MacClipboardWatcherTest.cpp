#include "transfer/MacClipboardWatcher.h"

#include "platform/fake/FakeClipboard.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using namespace std::chrono_literals;

namespace {

struct Reports {
    std::vector<std::string> texts;
    std::vector<std::vector<std::filesystem::path>> files;
    std::vector<Bytes> images;
    size_t total() const { return texts.size() + files.size() + images.size(); }
};

class ClipboardWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        installMainQueue(&loop);
        clipboard = std::make_shared<FakeClipboard>();
        watcher = MacClipboardWatcher::create(clipboard);
        watcher->onText = [this](std::string text) { reports.texts.push_back(text); };
        watcher->onFiles = [this](std::vector<std::filesystem::path> files) {
            reports.files.push_back(files);
        };
        watcher->onImage = [this](Bytes png) { reports.images.push_back(png); };
    }

    RunLoop loop;
    std::shared_ptr<FakeClipboard> clipboard;
    std::shared_ptr<MacClipboardWatcher> watcher;
    Reports reports;
};

} // namespace

TEST_F(ClipboardWatcherTest, ReportsOneKindPerChangeFilesThenImageThenText) {
    watcher->start();
    clipboard->copy({{"/home/u/a.txt"}, Bytes{1, 2}, "text"});
    watcher->poll();
    clipboard->copy({{}, Bytes{1, 2}, "text"});
    watcher->poll();
    clipboard->copy({{}, std::nullopt, "text"});
    watcher->poll();
    ASSERT_EQ(reports.total(), 3u);
    EXPECT_EQ(reports.files.front(), (std::vector<std::filesystem::path>{"/home/u/a.txt"}));
    EXPECT_EQ(reports.images.front(), (Bytes{1, 2}));
    EXPECT_EQ(reports.texts.front(), "text");
}

TEST_F(ClipboardWatcherTest, ReportsNothingForOldContentNoChangeEmptyTextOrOwnWrites) {
    clipboard->copyText("before start");
    watcher->start();
    watcher->poll();
    clipboard->copyText("");
    watcher->poll();
    watcher->writeText("from the peer");
    watcher->poll();
    watcher->writeImage({9, 9});
    watcher->poll();
    EXPECT_EQ(reports.total(), 0u);
    EXPECT_EQ(clipboard->writes, 2);
    EXPECT_EQ(clipboard->text(), std::nullopt);
    EXPECT_EQ(clipboard->png(), (Bytes{9, 9}));
}

TEST_F(ClipboardWatcherTest, PollsOnItsTimerUntilStoppedOrGone) {
    watcher->start();
    clipboard->copyText("copied");
    ASSERT_TRUE(loop.runUntil([&] { return reports.texts.size() == 1; }, 5s));
    watcher->stop();
    EXPECT_FALSE(watcher->running());
    clipboard->copyText("after stop");
    loop.runFor(1200ms);
    EXPECT_EQ(reports.texts.size(), 1u);

    watcher->start();
    watcher.reset();
    clipboard->copyText("after release");
    loop.runFor(1200ms);
    EXPECT_EQ(reports.texts.size(), 1u);
}
