// Shows a size on the main display of an X server and holds it, as a sharing program does while
// a controller asks for its own resolution: `randr_mode_holder DISPLAY WIDTH HEIGHT` prints
// "applied" once the size is shown and runs until SIGTERM or SIGINT ends it the way the
// programs end (returning from main), or until SIGKILL.

#include "platform/linux/RandRDisplayServices.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>
#include <unistd.h>

using namespace quorlinth;

namespace {

volatile std::sig_atomic_t stopping = 0;

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the test that started it
    std::signal(SIGTERM, [](int) { stopping = 1; });
    std::signal(SIGINT, [](int) { stopping = 1; });
    auto displays = RandRDisplayServices::open(argv[1]);
    if (!displays) return 1;
    int64_t width = std::atoll(argv[2]), height = std::atoll(argv[3]);
    if (displays->applyMode(displays->mainDisplay(), {width, height, width, height}) != 0) return 1;
    std::printf("applied\n");
    std::fflush(stdout);
    while (!stopping)
        usleep(20'000);
    return 0;
}
