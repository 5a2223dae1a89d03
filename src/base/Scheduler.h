#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace quorlinth {

using Task = std::function<void()>;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

class Scheduler;

// A cancellable one-shot or repeating timer. Cancels itself when destroyed, so a
// component's timers end with it; a timer also ends when its queue ends.
class Timer {
public:
    Timer() = default;
    Timer(Timer&&) noexcept = default;
    Timer& operator=(Timer&& other) noexcept;
    ~Timer() { cancel(); }

    void cancel();
    // Whether it will still fire: a one-shot timer stops being active as it fires.
    bool active() const;

private:
    friend class Scheduler;
    explicit Timer(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled(std::move(cancelled)) {}
    std::shared_ptr<std::atomic<bool>> cancelled;
};

// The task list behind a serial queue: ready tasks in order, timed tasks by due time.
// Shared so that a callback can hold it and post safely after the queue object is gone
// (the task is then dropped).
class Scheduler {
public:
    void post(Task task);
    void postAfter(Millis delay, Task task);
    Timer after(Millis delay, Task task);
    Timer every(Millis first, Millis period, Task task);

    // Waits for the next due task and runs it; false when stopped, or when `deadline`
    // passes with nothing due.
    bool runOne(std::optional<Clock::time_point> deadline);
    void stop();
    bool stopped() const;
    // Drops every pending task; call after stop from the owning thread.
    void clear();

    bool isCurrent() const { return runner.load() == std::this_thread::get_id(); }
    void setRunner(std::thread::id id) { runner.store(id); }

private:
    struct TimedTask {
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled; // null for plain postAfter
        std::optional<Millis> period;
    };
    void schedule(Clock::time_point due, TimedTask timed);
    std::optional<Task> nextTask(std::unique_lock<std::mutex>& lock,
                                 std::optional<Clock::time_point> deadline);

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> ready;
    std::multimap<Clock::time_point, TimedTask> timed; // equal due times keep insertion order
    bool halted = false;
    std::atomic<std::thread::id> runner{};
};

// Where a task runs: a serial queue or the main thread.
class Dispatcher {
public:
    virtual ~Dispatcher() = default;
    void post(Task task) { scheduler->post(std::move(task)); }
    void postAfter(Millis delay, Task task) { scheduler->postAfter(delay, std::move(task)); }
    [[nodiscard]] Timer after(Millis delay, Task task) { return scheduler->after(delay, std::move(task)); }
    [[nodiscard]] Timer every(Millis first, Millis period, Task task) {
        return scheduler->every(first, period, std::move(task));
    }
    bool isCurrent() const { return scheduler->isCurrent(); }
    // A handle that stays safe to post to after this dispatcher is destroyed.
    std::shared_ptr<Scheduler> handle() const { return scheduler; }

protected:
    std::shared_ptr<Scheduler> scheduler = std::make_shared<Scheduler>();
};

} // namespace quorlinth
