#include "QtTestApplication.h"

namespace quorlinth::testing {

QApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit Qt's own globals are already gone and its destructor would crash.
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

} // namespace quorlinth::testing
