#include "net/IoThread.h"

#include <pthread.h>

namespace quorlinth::net {

IoThread::IoThread(std::string label)
    : name(std::move(label)), work(boost::asio::make_work_guard(io)), worker([this] {
          // Linux limits thread names to 15 characters.
          pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
          io.run();
      }) {}

IoThread::~IoThread() {
    work.reset();
    io.stop();
    if (worker.joinable()) worker.join();
}

} // namespace quorlinth::net
