#pragma once

#include "base/MainQueue.h"

#include <QApplication>
#include <functional>

namespace quorlinth::testing {

// The one QApplication of the test process, on the offscreen platform.
QApplication& qtApplication();

// Turns the model's queue and Qt's events in turn until `done` holds, for at most ten seconds;
// returns whether it holds.
bool settle(RunLoop& loop, const std::function<bool()>& done);

} // namespace quorlinth::testing
