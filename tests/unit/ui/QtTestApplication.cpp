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

bool settle(RunLoop& loop, const std::function<bool()>& done) {
    Timer ticker = loop.every(Millis(1), Millis(1), [] {}); // so that `done` is checked meanwhile
    for (int turn = 0; turn < 1'000 && !done(); ++turn) {
        loop.runUntil(done, Millis(5));
        QApplication::processEvents();
    }
    return done();
}

} // namespace quorlinth::testing
