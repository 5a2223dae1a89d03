#include "net/IoThread.h"

#include <boost/asio/post.hpp>
#include <chrono>
#include <future>
#include <gtest/gtest.h>

using namespace quorlinth::net;

TEST(IoThread, RunsHandlersOnItsOwnThread) {
    IoThread thread("io-test");
    std::promise<std::thread::id> ran;
    boost::asio::post(thread.context(), [&] { ran.set_value(std::this_thread::get_id()); });
    auto id = ran.get_future();
    ASSERT_EQ(id.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(id.get(), std::this_thread::get_id());
}

// A client whose last reference drops inside one of its own callbacks destroys its io thread
// from that thread; the process must carry on.
TEST(IoThread, LastOwnerMayLetGoOnTheThreadItself) {
    auto thread = std::make_shared<IoThread>("io-test");
    std::promise<void> outsideLetGo;
    std::promise<void> released;
    boost::asio::post(thread->context(), [&, owner = thread, letGo = outsideLetGo.get_future()]() mutable {
        letGo.wait();
        owner.reset();
        released.set_value();
    });
    std::weak_ptr<IoThread> watch = thread;
    thread.reset();
    outsideLetGo.set_value();
    auto done = released.get_future();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(watch.expired());
}
