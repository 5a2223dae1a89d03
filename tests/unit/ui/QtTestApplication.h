#pragma once

#include <QApplication>

namespace quorlinth::testing {

// The one QApplication of the test process, on the offscreen platform.
QApplication& qtApplication();

} // namespace quorlinth::testing
