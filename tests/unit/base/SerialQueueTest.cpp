#include "base/SerialQueue.h"

#include "base/MainQueue.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

using namespace quorlinth;
using namespace std::chrono_literals;

namespace {

// Collects values from any thread; the test's run loop waits on it.
struct Recorder {
    std::mutex mutex;
    std::vector<int> values;
    void add(int v) {
        std::lock_guard lock(mutex);
        values.push_back(v);
    }
    std::vector<int> snapshot() {
        std::lock_guard lock(mutex);
        return values;
    }
    size_t size() { return snapshot().size(); }
};

// Polls a condition that other threads make true.
bool waitFor(const std::function<bool()>& condition, Millis timeout = 5000ms) {
    auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Blocks until every task posted to `queue` before it has run.
void drain(SerialQueue& queue) {
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    done.get_future().wait();
}

} // namespace

TEST(SerialQueue, RunsTasksOneAtATimeInPostOrder) {
    SerialQueue queue("test.order");
    Recorder recorder;
    std::atomic<int> running{0}, overlaps{0};
    for (int i = 0; i < 200; ++i)
        queue.post([&, i] {
            if (running.fetch_add(1) != 0) overlaps++;
            recorder.add(i);
            running.fetch_sub(1);
        });
    drain(queue);
    auto values = recorder.snapshot();
    ASSERT_EQ(values.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(values[i], i);
    EXPECT_EQ(overlaps, 0);
}

TEST(SerialQueue, KnowsWhetherTheCallerIsOnIt) {
    SerialQueue queue("test.current");
    SerialQueue other("test.other");
    EXPECT_FALSE(queue.isCurrent());
    std::promise<std::pair<bool, bool>> seen;
    queue.post([&] { seen.set_value({queue.isCurrent(), other.isCurrent()}); });
    auto [onQueue, onOther] = seen.get_future().get();
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(onOther);
    EXPECT_EQ(queue.label(), "test.current");
}

TEST(SerialQueue, DelayedTasksRunByDueTime) {
    SerialQueue queue("test.delay");
    Recorder recorder;
    queue.postAfter(60ms, [&] { recorder.add(3); });
    queue.postAfter(20ms, [&] { recorder.add(2); });
    queue.post([&] { recorder.add(1); });
    ASSERT_TRUE(waitFor([&] { return recorder.size() == 3; }));
    EXPECT_EQ(recorder.snapshot(), (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, RepeatingTimerFiresFirstThenEveryPeriodUntilCancelled) {
    SerialQueue queue("test.timer");
    Recorder recorder;
    auto start = Clock::now();
    std::atomic<int64_t> firstAt{-1};
    Timer timer = queue.every(150ms, 10ms, [&] {
        if (firstAt < 0) firstAt = std::chrono::duration_cast<Millis>(Clock::now() - start).count();
        recorder.add(1);
    });
    ASSERT_TRUE(waitFor([&] { return recorder.size() >= 5; }));
    EXPECT_GE(firstAt.load(), 150); // the first fire waits for its own delay, not the period
    std::promise<void> cancelled;
    queue.post([&] {
        timer.cancel();
        cancelled.set_value();
    });
    cancelled.get_future().wait();
    size_t count = recorder.size();
    std::this_thread::sleep_for(50ms);
    drain(queue);
    EXPECT_EQ(recorder.size(), count);
    EXPECT_FALSE(timer.active());
}

TEST(SerialQueue, TimerCancelsWhenItsHandleIsDestroyed) {
    SerialQueue queue("test.handle");
    std::atomic<int> fired{0};
    {
        Timer oneShot = queue.after(30ms, [&] { fired++; });
        Timer repeating = queue.every(30ms, 30ms, [&] { fired++; });
        EXPECT_TRUE(oneShot.active());
    }
    std::this_thread::sleep_for(100ms);
    drain(queue);
    EXPECT_EQ(fired, 0);
}

// An owner that sets a one-shot timer only when none is active must be able to set the next
// one once the first fired, from its own callback or later.
TEST(SerialQueue, AOneShotTimerIsSpentOnceItFires) {
    SerialQueue queue("test.spent");
    Timer timer;
    std::promise<bool> activeInsideCallback;
    std::promise<void> set;
    queue.post([&] {
        timer = queue.after(10ms, [&] { activeInsideCallback.set_value(timer.active()); });
        set.set_value();
    });
    set.get_future().wait();
    EXPECT_FALSE(activeInsideCallback.get_future().get());
    drain(queue);
    EXPECT_FALSE(timer.active());
}

TEST(SerialQueue, ReplacingATimerCancelsTheOldOne) {
    SerialQueue queue("test.replace");
    std::atomic<int> oldFired{0}, newFired{0};
    Timer timer = queue.after(30ms, [&] { oldFired++; });
    timer = queue.after(30ms, [&] { newFired++; });
    ASSERT_TRUE(waitFor([&] { return newFired == 1; }));
    drain(queue);
    EXPECT_EQ(oldFired, 0);
}

TEST(SerialQueue, DestroyingTheQueueDropsPendingWorkAndTimers) {
    std::atomic<int> ran{0};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    Timer timer;
    {
        SerialQueue queue("test.drop");
        std::promise<void> release;
        auto blocker = release.get_future().share();
        queue.post([blocker] { blocker.wait(); });
        queue.post([&ran, token] { ran++; });
        queue.postAfter(10ms, [&ran] { ran++; });
        timer = queue.every(10ms, 10ms, [&ran] { ran++; });
        token.reset();
        release.set_value();
        // The destructor stops the queue; whatever is still pending is released, never run.
    }
    EXPECT_LE(ran.load(), 1);
    EXPECT_TRUE(watch.expired());
}

TEST(SerialQueue, CanBeDestroyedByItsOwnTask) {
    struct Owner {
        SerialQueue queue{"test.self"};
    };
    auto owner = std::make_shared<Owner>();
    std::promise<void> done;
    owner->queue.post([&done, owner]() mutable {
        owner.reset(); // may be the last reference: the queue ends from its own thread
        done.set_value();
    });
    owner.reset();
    EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(SerialQueue, PostingAfterTheQueueIsGoneIsHarmless) {
    std::shared_ptr<Scheduler> handle;
    {
        SerialQueue queue("test.late");
        handle = queue.handle();
    }
    bool ran = false;
    handle->post([&] { ran = true; });
    handle->postAfter(1ms, [&] { ran = true; });
    EXPECT_FALSE(ran);
}

TEST(RunLoop, RunsPostedWorkUntilAConditionOrQuit) {
    RunLoop loop;
    EXPECT_TRUE(loop.isCurrent());
    SerialQueue queue("test.loop");
    int value = 0;
    queue.post([&] { loop.post([&] { value = 7; }); });
    EXPECT_TRUE(loop.runUntil([&] { return value == 7; }, 5000ms));
    EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));

    queue.postAfter(20ms, [&] { loop.quit(); });
    loop.run(); // returns once quit() arrives from the other thread
    SUCCEED();
}

TEST(RunLoop, IsTheInstalledMainQueueWhileItLives) {
    {
        RunLoop loop;
        installMainQueue(&loop);
        EXPECT_EQ(&mainQueue(), &loop);
    }
    EXPECT_THROW(mainQueue(), std::logic_error);
}
