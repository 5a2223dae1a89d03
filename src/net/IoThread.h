#pragma once

// Asio's awaitable needs std::exchange before it is included (Boost 1.74).
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace quorlinth::net {

// An io_context running on a thread of its own. Sockets and timers created on it complete
// there; owners copy what they need and hop to their own queue. Destroying it stops the
// context and drops whatever is still pending. The last owner may let go of it from a handler
// on its own thread: the thread then finishes detached, keeping the context alive until it
// returns.
class IoThread {
public:
    explicit IoThread(std::string label);
    ~IoThread();
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    boost::asio::io_context& context() { return *io; }
    const std::string& label() const { return name; }

private:
    std::string name;
    std::shared_ptr<boost::asio::io_context> io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
    std::thread worker;
};

} // namespace quorlinth::net
