#include "ui/MacRemoteView.h"

#include "QtTestApplication.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <gtest/gtest.h>
#include <vector>

using namespace quorlinth;

namespace {

RTCVideoFrame picture(int width, int height) {
    auto pixels = std::make_shared<std::vector<uint8_t>>(size_t(width) * height * 4, 0x80);
    return RTCVideoFrame{width, height, width * 4, pixels, 0};
}

MacDevice desktop(const char* platform = "linux") {
    return {"D2", "书房", platform, true, MacCapabilities{true, true, true}, true};
}

// A view of a 1000 × 1000 area over a store, recording every control message.
struct ViewHarness {
    ViewHarness() : view([this](Json message) { sent.push_back(std::move(message)); }) {
        view.resize(1000, 1000);
        view.setFrames(store);
        view.setTarget(desktop());
    }

    void show(int width, int height) {
        store->store(picture(width, height));
        view.pullFrame();
    }

    void mouse(QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent event(type, at, view.mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
    }

    void key(QEvent::Type type, int qtKey, uint32_t keysym, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
             const QString& text = {}) {
        QKeyEvent event(type, qtKey, modifiers, 0, keysym, 0, text);
        QApplication::sendEvent(&view, &event);
    }

    QApplication& app = quorlinth::testing::qtApplication(); // before any widget
    std::shared_ptr<VideoFrameStore> store = std::make_shared<VideoFrameStore>();
    std::vector<Json> sent;
    MacRemoteView view;
};

Json pointer(int mask, double x, double y) {
    return Json{{"type", "pointer"}, {"mask", mask}, {"x", x}, {"y", y}};
}

} // namespace

TEST(MacRemoteView, MapsViewPositionsInFitAndFill) {
    struct Case {
        bool fill;
        QPointF at;
        std::optional<PicturePoint> expected;
    };
    const Case cases[] = {
        {false, {500, 500}, PicturePoint{0.5, 0.5}},
        {false, {500, 100}, std::nullopt}, // in the bar above a 1000 × 562.5 picture
        {false, {0, 218.75}, PicturePoint{0, 0}},
        {true, {500, 100}, PicturePoint{0.5, 0.1}},
        {true, {1000, 1000}, PicturePoint{1, 1}},
    };
    ViewHarness h;
    h.show(1920, 1080);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.fill ? "fill " : "fit ") << c.at.x() << "," << c.at.y());
        h.view.setFill(c.fill);
        auto point = h.view.pointAt(c.at);
        ASSERT_EQ(point.has_value(), c.expected.has_value());
        if (!point) continue;
        EXPECT_NEAR(point->x, c.expected->x, 1e-9);
        EXPECT_NEAR(point->y, c.expected->y, 1e-9);
    }
    h.view.setFill(false);
    EXPECT_EQ(h.view.pictureRect(), QRectF(0, 218.75, 1000, 562.5));
}

TEST(MacRemoteView, ShowsOnlyTheNewestPictureAndFollowsItsSize) {
    ViewHarness h;
    EXPECT_FALSE(h.view.pointAt({500, 500})) << "no picture, no position";
    h.store->store(picture(640, 480));
    h.store->store(picture(1280, 720));
    h.view.pullFrame();
    h.view.pullFrame(); // nothing new
    EXPECT_EQ(h.view.framesShown(), 1u);
    EXPECT_EQ(h.view.pictureSize(), QSize(1280, 720));

    // The client ended: the last picture stays up.
    h.store->clear();
    h.view.pullFrame();
    EXPECT_EQ(h.view.pictureSize(), QSize(1280, 720));

    // Another client: nothing shown until its first picture.
    auto next = std::make_shared<VideoFrameStore>();
    h.view.setFrames(next);
    EXPECT_TRUE(h.view.pictureSize().isEmpty());
    next->store(picture(800, 600));
    h.view.pullFrame();
    EXPECT_EQ(h.view.pictureSize(), QSize(800, 600));
    EXPECT_EQ(h.view.framesShown(), 2u);
}

TEST(MacRemoteView, ClickInsideAndReleaseOverTheBarReleasesAtTheLastPosition) {
    ViewHarness h;
    h.show(1920, 1080);
    h.mouse(QEvent::MouseButtonPress, {500, 500}, Qt::LeftButton, Qt::LeftButton);
    h.mouse(QEvent::MouseButtonPress, {500, 100}, Qt::RightButton, Qt::LeftButton | Qt::RightButton);
    h.mouse(QEvent::MouseButtonRelease, {500, 100}, Qt::LeftButton, Qt::NoButton);
    ASSERT_EQ(h.sent.size(), 2u) << "a press over the bar sends nothing";
    EXPECT_EQ(h.sent[0], pointer(1, 0.5, 0.5));
    EXPECT_EQ(h.sent[1], pointer(0, 0.5, 0.5));
}

TEST(MacRemoteView, KeysGoAsMacKeyCodesWithTheModifierOfTheirOwnEvent) {
    ViewHarness h;
    h.show(1920, 1080);
    h.key(QEvent::KeyPress, Qt::Key_Shift, 0xffe1); // Qt reports the state before the key
    h.key(QEvent::KeyPress, Qt::Key_A, 'a', Qt::ShiftModifier, "A");
    h.key(QEvent::KeyRelease, Qt::Key_Shift, 0xffe1, Qt::ShiftModifier);
    ASSERT_EQ(h.sent.size(), 3u);
    EXPECT_EQ(h.sent[0]["code"], 56);
    EXPECT_EQ(h.sent[0]["down"], true);
    EXPECT_EQ(h.sent[0]["shift"], true);
    EXPECT_EQ(h.sent[1]["code"], 0);
    EXPECT_EQ(h.sent[1]["shift"], true);
    EXPECT_EQ(h.sent[2]["code"], 56);
    EXPECT_EQ(h.sent[2]["down"], false);
    EXPECT_EQ(h.sent[2]["shift"], false);
}

TEST(MacRemoteView, ShortcutsBelongToTheRemoteAndTextWithoutAKeyIsTyped) {
    ViewHarness h;
    h.show(1920, 1080);
    // Ctrl+Q (Command-Q on the remote) is claimed before any local shortcut sees it.
    QKeyEvent shortcut(QEvent::ShortcutOverride, Qt::Key_Q, Qt::ControlModifier, 0, 'q', 0, "q");
    shortcut.ignore();
    QApplication::sendEvent(&h.view, &shortcut);
    EXPECT_TRUE(shortcut.isAccepted());
    h.key(QEvent::KeyPress, Qt::Key_Q, 'q', Qt::ControlModifier, "q");
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0]["command"], true);

    h.sent.clear();
    h.key(QEvent::KeyPress, 0, 0, Qt::NoModifier, QStringLiteral("中"));
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0]["type"], "text");
    EXPECT_EQ(h.sent[0]["text"], "中");
}

TEST(MacRemoteView, LosingFocusReleasesEverythingAndViewOnlyTargetsGetNothing) {
    ViewHarness h;
    h.show(1920, 1080);
    QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(&h.view, &out);
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0]["type"], "release");

    h.sent.clear();
    h.view.setTarget(desktop("ios"));
    h.mouse(QEvent::MouseButtonPress, {500, 500}, Qt::LeftButton, Qt::LeftButton);
    h.key(QEvent::KeyPress, Qt::Key_A, 'a', Qt::NoModifier, "a");
    QApplication::sendEvent(&h.view, &out);
    EXPECT_TRUE(h.sent.empty());
}

TEST(MacRemoteView, DropsHandOnlyLocalFilesToTheHook) {
    ViewHarness h;
    auto drop = [&h](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(500, 500), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&h.view, &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent event(QPointF(500, 500), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&h.view, &event);
        return event.isAccepted();
    };
    const QList<QUrl> mixed = {QUrl::fromLocalFile("/tmp/报告.pdf"), QUrl("https://example.invalid/x")};
    EXPECT_FALSE(h.view.acceptDrops());
    EXPECT_FALSE(drop(mixed)) << "no hook, no drop";

    std::vector<std::vector<std::filesystem::path>> dropped;
    h.view.setDropFiles(
        [&](std::vector<std::filesystem::path> files) { dropped.push_back(std::move(files)); });
    EXPECT_TRUE(h.view.acceptDrops());
    EXPECT_TRUE(drop(mixed));
    EXPECT_FALSE(drop({QUrl("https://example.invalid/y")})) << "nothing local to send";
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0], std::vector<std::filesystem::path>{"/tmp/报告.pdf"});
}
