#include "base/MainQueue.h"

#include <atomic>
#include <stdexcept>

namespace quorlinth {

namespace {
std::atomic<MainQueue*> installed{nullptr};
}

MainQueue& mainQueue() {
    MainQueue* queue = installed.load();
    if (!queue) throw std::logic_error("no main queue installed");
    return *queue;
}

void installMainQueue(MainQueue* queue) {
    installed.store(queue);
}

RunLoop::RunLoop() {
    scheduler->setRunner(std::this_thread::get_id());
}

RunLoop::~RunLoop() {
    scheduler->stop();
    scheduler->clear();
    MainQueue* self = this;
    installed.compare_exchange_strong(self, nullptr);
}

void RunLoop::run() {
    quitRequested = false;
    while (!quitRequested && scheduler->runOne(std::nullopt)) {
    }
}

void RunLoop::runFor(Millis duration) {
    auto deadline = Clock::now() + duration;
    while (!quitRequested && scheduler->runOne(deadline)) {
    }
}

bool RunLoop::runUntil(const std::function<bool()>& condition, Millis timeout) {
    auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (!scheduler->runOne(deadline)) return condition();
    }
    return true;
}

void RunLoop::quit() {
    quitRequested = true;
    scheduler->post([] {}); // wake the loop
}

} // namespace quorlinth
