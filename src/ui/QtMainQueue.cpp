#include "ui/QtMainQueue.h"

#include <thread>

namespace quorlinth {

QtMainQueue::QtMainQueue(QObject* parent) : QObject(parent) {
    scheduler->setRunner(std::this_thread::get_id());
    pumpTimer.setTimerType(Qt::PreciseTimer);
    connect(&pumpTimer, &QTimer::timeout, this, &QtMainQueue::pump);
    pumpTimer.start(kPumpIntervalMs);
}

QtMainQueue::~QtMainQueue() {
    pumpTimer.stop();
    scheduler->stop();
    scheduler->clear();
    // Uninstall only when this queue is still the installed one.
    MainQueue* self = this;
    try {
        if (&mainQueue() == self) installMainQueue(nullptr);
    } catch (const std::logic_error&) {
    }
}

void QtMainQueue::pump() {
    auto now = Clock::now();
    auto turnEnd = now + Millis(kTurnBudgetMs);
    // A deadline in the past makes runOne return at once when nothing is due.
    while (Clock::now() < turnEnd && scheduler->runOne(now)) {
    }
}

} // namespace quorlinth
