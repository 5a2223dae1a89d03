#include "net/IoThread.h"

#include <pthread.h>

namespace quorlinth::net {

IoThread::IoThread(std::string label)
    : name(std::move(label)), io(std::make_shared<boost::asio::io_context>()),
      work(boost::asio::make_work_guard(*io)), worker([io = io, threadName = name.substr(0, 15)] {
          // Linux limits thread names to 15 characters.
          pthread_setname_np(pthread_self(), threadName.c_str());
          io->run();
      }) {}

IoThread::~IoThread() {
    work.reset();
    io->stop();
    if (!worker.joinable()) return;
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
    else
        worker.join();
}

} // namespace quorlinth::net
