#pragma once

#include "base/MainQueue.h"

#include <QObject>
#include <QTimer>

namespace quorlinth {

// The main queue of the windowed application: the Qt event loop runs the scheduler's tasks on
// the GUI thread. The scheduler has no wake-up hook, so a short timer drains whatever is due;
// each turn is bounded so that painting and input never wait long behind queued work.
class QtMainQueue : public QObject, public MainQueue {
    Q_OBJECT
public:
    // Create on the GUI thread, after the QApplication.
    explicit QtMainQueue(QObject* parent = nullptr);
    ~QtMainQueue() override;

    static constexpr int kPumpIntervalMs = 4;
    static constexpr int kTurnBudgetMs = 8;

private:
    void pump();
    QTimer pumpTimer;
};

} // namespace quorlinth
