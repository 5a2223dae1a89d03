#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quorlinth::service {

// A fixed set of threads taking jobs from a bounded queue. A full queue refuses new jobs at
// once, and a job that waited longer than `maxWait` is not run: its `expired` callback runs
// instead (cheaply, on a pool thread), so that a burst turns into quick refusals rather than
// answers nobody waits for any more. A positive `niceness` lowers the threads' scheduling
// priority, so that their work takes only the CPU time nothing else wants.
class WorkQueue {
public:
    WorkQueue(size_t threads, size_t capacity, std::chrono::milliseconds maxWait, int niceness = 0);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // False, and nothing queued, when the queue is full or stopped.
    bool submit(std::function<void()> run, std::function<void()> expired = {});
    // Finishes the jobs that run, drops the queued ones and joins the threads.
    void stop();

private:
    struct Job {
        std::function<void()> run;
        std::function<void()> expired;
        std::chrono::steady_clock::time_point queuedAt;
    };
    void work(int niceness);

    const size_t capacity;
    const std::chrono::milliseconds maxWait;
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<Job> jobs;
    bool stopping = false;
    std::vector<std::thread> threads;
};

} // namespace quorlinth::service
