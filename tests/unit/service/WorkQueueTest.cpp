#include "WorkQueue.h"

#include <future>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace quorlinth::service {
namespace {

TEST(WorkQueue, RefusesWhenFullAndAnswersLateJobsWithoutRunningThem) {
    WorkQueue queue(1, 2, std::chrono::milliseconds(10));
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> blocking;
    ASSERT_TRUE(queue.submit([&] {
        blocking.set_value();
        released.wait();
    }));
    blocking.get_future().wait(); // the only thread is busy

    std::promise<std::string> late, later;
    EXPECT_TRUE(queue.submit([&] { late.set_value("ran"); }, [&] { late.set_value("expired"); }));
    EXPECT_TRUE(queue.submit([&] { later.set_value("ran"); }, [&] { later.set_value("expired"); }));
    EXPECT_FALSE(queue.submit([] {})) << "two queued jobs fill it";
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // well past the wait limit
    release.set_value();
    EXPECT_EQ("expired", late.get_future().get());
    EXPECT_EQ("expired", later.get_future().get());

    std::promise<std::string> fresh;
    EXPECT_TRUE(queue.submit([&] { fresh.set_value("ran"); }, [&] { fresh.set_value("expired"); }));
    EXPECT_EQ("ran", fresh.get_future().get());
}

TEST(WorkQueue, RunsItsJobsAtTheGivenNicenessAndLeavesTheCallerAsItWas) {
    int callerBefore = getpriority(PRIO_PROCESS, pid_t(gettid()));
    WorkQueue queue(1, 1, std::chrono::seconds(10), 19);
    std::promise<int> seen;
    ASSERT_TRUE(queue.submit([&] { seen.set_value(getpriority(PRIO_PROCESS, pid_t(gettid()))); }));
    EXPECT_EQ(19, seen.get_future().get());
    EXPECT_EQ(callerBefore, getpriority(PRIO_PROCESS, pid_t(gettid())));
}

} // namespace
} // namespace quorlinth::service
