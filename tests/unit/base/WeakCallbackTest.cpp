#include "base/WeakCallback.h"

#include "base/MainQueue.h"
#include "base/SerialQueue.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using namespace std::chrono_literals;

namespace {

struct Owner {
    std::vector<std::string> received;
};

} // namespace

TEST(WeakCallback, DeliversOnTheChosenQueueWhileTheOwnerLives) {
    RunLoop loop;
    auto owner = std::make_shared<Owner>();
    bool onLoop = false;
    auto callback = weakCallback<std::string, int>(owner, loop, [&](Owner& self, std::string text, int n) {
        onLoop = loop.isCurrent();
        self.received.push_back(text + std::to_string(n));
    });
    SerialQueue queue("test.weak");
    queue.post([callback] { callback("frame ", 3); });
    ASSERT_TRUE(loop.runUntil([&] { return !owner->received.empty(); }, 5000ms));
    EXPECT_EQ(owner->received, std::vector<std::string>{"frame 3"});
    EXPECT_TRUE(onLoop);
}

TEST(WeakCallback, DoesNothingOnceTheOwnerIsGone) {
    RunLoop loop;
    auto owner = std::make_shared<Owner>();
    int calls = 0;
    auto callback = weakCallback<>(std::weak_ptr<Owner>(owner), loop, [&](Owner&) { calls++; });
    callback();    // queued while the owner lives...
    owner.reset(); // ...but it is gone by the time the loop runs
    callback();
    loop.runFor(20ms);
    EXPECT_EQ(calls, 0);
}

TEST(WeakCallback, DoesNothingOnceTheQueueIsGone) {
    auto owner = std::make_shared<Owner>();
    std::function<void()> callback;
    {
        SerialQueue queue("test.gone");
        callback = weakCallback<>(owner, queue, [](Owner& self) { self.received.push_back("late"); });
    }
    callback();
    EXPECT_TRUE(owner->received.empty());
}
