#pragma once

#include "base/Scheduler.h"

#include <atomic>
#include <functional>
#include <optional>

namespace quorlinth {

// The main-thread dispatcher: interface state and callbacks to owners run here.
class MainQueue : public Dispatcher {};

// The process's main queue, installed once by the composition root (the CLI, a test,
// or the windowed application).
MainQueue& mainQueue();
void installMainQueue(MainQueue* queue);

// A main queue driven by an explicit run loop on the thread that created it: the CLI
// and tests use it.
class RunLoop : public MainQueue {
public:
    RunLoop();
    ~RunLoop() override;

    // Runs tasks until quit() is called.
    void run();
    // Runs tasks for `duration`, then returns.
    void runFor(Millis duration);
    // Runs tasks until `condition` holds (checked after each task) or the time-out passes;
    // returns whether it holds.
    bool runUntil(const std::function<bool()>& condition, Millis timeout);
    // Callable from any thread.
    void quit();

private:
    std::atomic<bool> quitRequested{false};
};

} // namespace quorlinth
