// A stand-in application for the end-to-end update tests, packed into releases by make-release.
// At every start it takes the resume record and appends what it found to $QUORLINTH_PROBE_REPORT:
//   started build=<its installed build> resume=<sharing>,<input>|none
// Started as "update BASE" it also runs a terminal update from BASE with the key in
// $QUORLINTH_PROBE_KEY, as if sharing with input allowed, and appends "update exit=<code> <message>".
#include "base/Encoding.h"
#include "base/MainQueue.h"
#include "base/WallClock.h"
#include "store/Paths.h"
#include "store/UserDefaults.h"
#include "updates/MacUpdates.h"
#include "updates/TerminalUpdate.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace quorlinth;

namespace {

void report(const std::string& line) {
    const char* path = std::getenv("QUORLINTH_PROBE_REPORT");
    if (path) std::ofstream(path, std::ios::app) << line << "\n";
}

} // namespace

int main(int argc, char** argv) {
    RunLoop loop;
    installMainQueue(&loop);
    UserDefaults defaults(appConfigDir() / "defaults.json");
    auto resume = MacUpdates::takeResume(defaults, secondsSince1970());
    auto bundle = MacBundle::running();
    report("started build=" + (bundle ? bundle->build : std::string("none")) + " resume=" +
           (resume ? std::to_string(resume->sharing) + "," + std::to_string(resume->input)
                   : std::string("none")));
    if (argc != 3 || std::string(argv[1]) != "update") return 0;

    MacUpdates::Options options = MacUpdates::systemOptions();
    options.downloadBase = argv[2];
    const char* key = std::getenv("QUORLINTH_PROBE_KEY");
    options.releaseKey = hexDecode(key ? key : "").value_or(Bytes{});
    auto updates = MacUpdates::create(defaults, options, loop);
    updates->resumeState = [] { return MacUpdateResume{true, true, 0}; };
    int exitCode = 1;
    runTerminalUpdate(
        *updates, false, [](const std::string& line) { std::printf("%s\n", line.c_str()); },
        [&](int code) {
            exitCode = code;
            loop.quit();
        });
    loop.run();
    report("update exit=" + std::to_string(exitCode) + " " + updates->message());
    return exitCode;
}
