#include "base/SerialQueue.h"

#include <pthread.h>

namespace quorlinth {

SerialQueue::SerialQueue(std::string label) : name(std::move(label)) {
    worker = std::thread([scheduler = scheduler, threadName = name.substr(0, 15)] {
        pthread_setname_np(pthread_self(), threadName.c_str());
        scheduler->setRunner(std::this_thread::get_id());
        while (scheduler->runOne(std::nullopt)) {
        }
        scheduler->clear();
    });
}

SerialQueue::~SerialQueue() {
    scheduler->stop();
    // The last owner may be released by a task on this very queue: the thread holds its
    // own reference to the scheduler, so it can finish detached.
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
    else
        worker.join();
}

} // namespace quorlinth
