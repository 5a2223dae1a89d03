// Clipboard sync end to end: two transfer peers (separate engine processes in a namespace), each
// watching the X clipboard of its own Xvfb; the test copies on either display as a person would.

#include "ChildProcess.h"
#include "PeerProcess.h"
#include "XvfbServer.h"
#include "platform/linux/X11Clipboard.h"

#include <gtest/gtest.h>
#include <thread>

using namespace quorlinth;
using namespace quorlinth::testing;
using namespace std::chrono_literals;

namespace {

constexpr auto kGenerous = 30s;

bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

size_t countEvents(PeerProcess& peer, const std::string& name) {
    size_t count = 0;
    for (const auto& event : peer.events())
        count += field::string(event, "event").value_or("") == name;
    return count;
}

} // namespace

TEST(ClipboardSync, TextBothWaysWithoutEchoAndAnImageAsPng) {
    quorlinth::testing::TempDir root;
    XvfbServer hostScreen{640, 480}, controllerScreen{640, 480};
    ASSERT_TRUE(hostScreen.running() && controllerScreen.running());
    auto peer = [&](const char* role, const XvfbServer& screen) {
        return std::make_unique<PeerProcess>(
            std::vector<std::string>{QUORLINTH_TRANSFER_TEST_PEER, role, "--downloads",
                                     (root.path() / role).string(), "--display", screen.display()});
    };
    auto host = peer("answerer", hostScreen);
    auto controller = peer("offerer", controllerScreen);
    controller->relaySignalsTo(*host);
    host->relaySignalsTo(*controller);
    ASSERT_TRUE(host->waitForEvent("open", kGenerous) && controller->waitForEvent("open", kGenerous));
    // A person's programs on each screen.
    auto onHost = X11Clipboard::open(hostScreen.display());
    auto onController = X11Clipboard::open(controllerScreen.display());
    ASSERT_TRUE(onHost && onController);

    onController->writeText("在控制端复制");
    ASSERT_TRUE(eventually([&] { return onHost->text() == "在控制端复制"; }));
    onHost->writeText("copied on the host");
    ASSERT_TRUE(eventually([&] { return onController->text() == "copied on the host"; }));
    // Each side received exactly one text: nothing written from the peer came back.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(countEvents(*host, "clip"), 1u);
    EXPECT_EQ(countEvents(*controller, "clip"), 1u);
    EXPECT_EQ(onController->text(), "copied on the host");

    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    for (int index = 0; index < 400'000; ++index)
        png.push_back(static_cast<uint8_t>(index * 13));
    onController->writePng(png);
    ASSERT_TRUE(eventually([&] { return onHost->png() == png; }));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(countEvents(*controller, "image"), 0u) << "the image did not come back";
}
