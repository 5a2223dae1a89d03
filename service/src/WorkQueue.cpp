#include "WorkQueue.h"

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace quorlinth::service {

WorkQueue::WorkQueue(size_t threadCount, size_t capacity, std::chrono::milliseconds maxWait, int niceness)
    : capacity(capacity), maxWait(maxWait) {
    for (size_t i = 0; i < threadCount; ++i)
        threads.emplace_back([this, niceness] { work(niceness); });
}

WorkQueue::~WorkQueue() {
    stop();
}

bool WorkQueue::submit(std::function<void()> run, std::function<void()> expired) {
    {
        std::lock_guard lock(mutex);
        if (stopping || jobs.size() >= capacity) return false;
        jobs.push_back({std::move(run), std::move(expired), std::chrono::steady_clock::now()});
    }
    queued.notify_one();
    return true;
}

void WorkQueue::stop() {
    {
        std::lock_guard lock(mutex);
        if (stopping) return;
        stopping = true;
        jobs.clear();
    }
    queued.notify_all();
    for (auto& thread : threads)
        thread.join();
}

void WorkQueue::work(int niceness) {
    // On Linux the priority of a thread id is that thread's alone.
    if (niceness > 0 && setpriority(PRIO_PROCESS, pid_t(gettid()), niceness) != 0)
        std::perror("cannot lower the priority of a pool thread");
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex);
            queued.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (stopping) return;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        bool late = std::chrono::steady_clock::now() - job.queuedAt > maxWait;
        if (!late)
            job.run();
        else if (job.expired)
            job.expired();
    }
}

} // namespace quorlinth::service
