#include "base/Scheduler.h"

namespace quorlinth {

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        cancel();
        cancelled = std::move(other.cancelled);
    }
    return *this;
}

void Timer::cancel() {
    if (cancelled) cancelled->store(true);
    cancelled.reset();
}

bool Timer::active() const {
    return cancelled && !cancelled->load();
}

void Scheduler::post(Task task) {
    {
        std::lock_guard lock(mutex);
        if (halted) return;
        ready.push_back(std::move(task));
    }
    wake.notify_one();
}

void Scheduler::postAfter(Millis delay, Task task) {
    schedule(Clock::now() + delay, {std::move(task), nullptr, std::nullopt});
}

Timer Scheduler::after(Millis delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    schedule(Clock::now() + delay, {std::move(task), cancelled, std::nullopt});
    return Timer(cancelled);
}

Timer Scheduler::every(Millis first, Millis period, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    schedule(Clock::now() + first, {std::move(task), cancelled, period});
    return Timer(cancelled);
}

void Scheduler::schedule(Clock::time_point due, TimedTask task) {
    {
        std::lock_guard lock(mutex);
        if (halted) return;
        timed.emplace(due, std::move(task));
    }
    wake.notify_one();
}

std::optional<Task> Scheduler::nextTask(std::unique_lock<std::mutex>& lock,
                                        std::optional<Clock::time_point> deadline) {
    for (;;) {
        if (halted) return std::nullopt;
        auto now = Clock::now();
        // Timed tasks that are due go before ready ones posted later, like a run loop would.
        if (!timed.empty() && timed.begin()->first <= now) {
            auto node = timed.extract(timed.begin());
            TimedTask& entry = node.mapped();
            if (entry.cancelled && entry.cancelled->load()) continue;
            if (!entry.period) {
                // A one-shot timer that fires is spent: its owner may set the next one from it.
                if (entry.cancelled) entry.cancelled->store(true);
                return std::move(entry.task);
            }
            // Skip missed periods instead of firing a burst after a stall.
            auto next = node.key() + *entry.period;
            if (next <= now) next = now + *entry.period;
            Task copy = entry.task;
            timed.emplace(next, std::move(entry));
            return copy;
        }
        if (!ready.empty()) {
            Task task = std::move(ready.front());
            ready.pop_front();
            return task;
        }
        auto wakeAt = timed.empty() ? deadline : std::optional(timed.begin()->first);
        if (deadline && wakeAt && *deadline < *wakeAt) wakeAt = deadline;
        if (deadline && now >= *deadline) return std::nullopt;
        if (wakeAt)
            wake.wait_until(lock, *wakeAt);
        else
            wake.wait(lock);
    }
}

bool Scheduler::runOne(std::optional<Clock::time_point> deadline) {
    std::optional<Task> task;
    {
        std::unique_lock lock(mutex);
        task = nextTask(lock, deadline);
    }
    if (!task) return false;
    (*task)();
    return true; // the task's captures are released here, outside the lock
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mutex);
        halted = true;
    }
    wake.notify_all();
}

bool Scheduler::stopped() const {
    std::lock_guard lock(mutex);
    return halted;
}

void Scheduler::clear() {
    std::deque<Task> droppedReady;
    std::multimap<Clock::time_point, TimedTask> droppedTimed;
    {
        std::lock_guard lock(mutex);
        droppedReady.swap(ready);
        droppedTimed.swap(timed);
    }
    // Captured owners are released here, outside the lock.
}

} // namespace quorlinth
