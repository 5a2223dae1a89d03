// A virtual-display child whose display is made up: it speaks the real child protocol so the
// parent side can be tested against a real process. Width 666 cannot be made; width 777 never
// answers; width 778 never answers and ignores SIGTERM; width 999 answers, ignores SIGTERM and
// stays when its input ends. The display id is 5000 + serial (+ 100 for HiDPI).
#include "capture/MacVirtualDisplay.h"

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

using namespace quorlinth;

namespace {

class StubDisplay : public VirtualDisplay {
public:
    explicit StubDisplay(uint32_t serial) : serial(serial) {}
    DisplayID displayID() const override { return id; }
    bool apply(const VirtualDisplaySettings& settings) override {
        id = 5000 + serial + (settings.hiDPI ? 100 : 0);
        return true;
    }

private:
    uint32_t serial;
    DisplayID id = 0;
};

class StubFactory : public VirtualDisplayFactory {
public:
    std::unique_ptr<VirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) override {
        if (descriptor.widthMillimetres == 0) return nullptr;
        return std::make_unique<StubDisplay>(descriptor.serialNumber);
    }
};

} // namespace

int main(int argc, char** argv) {
    auto arguments = parseVirtualDisplayArguments(std::vector<std::string>(argv, argv + argc));
    if (!arguments || arguments->width == 666) {
        std::puts("ERR");
        return 1;
    }
    // The stubborn ones must not outlive a test that ends before they are retired.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (arguments->width == 778 || arguments->width == 999) std::signal(SIGTERM, SIG_IGN);
    if (arguments->width == 999) {
        std::printf("ID %u\n", 5999u);
        std::fflush(stdout);
    }
    if (arguments->width == 777 || arguments->width == 778 || arguments->width == 999) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    StubFactory factory;
    return runVirtualDisplayChild(*arguments, factory, STDIN_FILENO, stdout);
}
