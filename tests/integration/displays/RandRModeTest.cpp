#include "XorgDummyServer.h"
#include "XvfbServer.h"
#include "platform/linux/RandRDisplayServices.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// After GoogleTest: Xlib's macros (None, Bool) break its headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

using namespace quorlinth;

namespace {

DisplayMode pixels(int64_t width, int64_t height) {
    return {width, height, width, height};
}

size_t modesOfSize(RandRDisplayServices& displays, DisplayID display, const DisplayMode& size) {
    auto modes = displays.allModes(display);
    return size_t(std::count(modes.begin(), modes.end(), size));
}

// The name of the mode the primary output shows, read by a client of its own.
std::string shownModeName(const std::string& server) {
    Display* x = XOpenDisplay(server.c_str());
    if (!x) return {};
    std::string name;
    Window root = DefaultRootWindow(x);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(x, root);
    XRROutputInfo* output =
        resources ? XRRGetOutputInfo(x, resources, XRRGetOutputPrimary(x, root)) : nullptr;
    XRRCrtcInfo* crtc = output && output->crtc ? XRRGetCrtcInfo(x, resources, output->crtc) : nullptr;
    for (int k = 0; crtc && k < resources->nmode; ++k)
        if (resources->modes[k].id == crtc->mode)
            name.assign(resources->modes[k].name, resources->modes[k].nameLength);
    if (crtc) XRRFreeCrtcInfo(crtc);
    if (output) XRRFreeOutputInfo(output);
    if (resources) XRRFreeScreenResources(resources);
    XCloseDisplay(x);
    return name;
}

// The holder program (see RandRModeHolderMain.cpp), started with its output on a pipe.
class ModeHolder {
public:
    ModeHolder(const std::string& server, const DisplayMode& size) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::string width = std::to_string(size.pixelWidth), height = std::to_string(size.pixelHeight);
        char* arguments[] = {const_cast<char*>(RANDR_MODE_HOLDER), const_cast<char*>(server.c_str()),
                             width.data(), height.data(), nullptr};
        if (posix_spawn(&pid, RANDR_MODE_HOLDER, &actions, nullptr, arguments, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        output = fds[0];
    }
    ~ModeHolder() {
        end(SIGKILL);
        if (output >= 0) close(output);
    }

    // Whether it printed "applied" within the time allowed.
    bool applied() {
        std::string text;
        pollfd waiting{output, POLLIN, 0};
        char c;
        while (text.find("applied\n") == std::string::npos && poll(&waiting, 1, 20000) > 0 &&
               read(output, &c, 1) == 1)
            text.push_back(c);
        return text.find("applied\n") != std::string::npos;
    }
    void end(int signal) {
        if (pid <= 0) return;
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

private:
    pid_t pid = -1;
    int output = -1;
};

class RandRModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "Xorg with a configuration of our own needs root";
        ASSERT_TRUE(xorg.running()) << "Xorg on the dummy driver did not start";
        displays = RandRDisplayServices::open(xorg.display());
        ASSERT_TRUE(displays);
        main = displays->mainDisplay();
        ASSERT_EQ(displays->currentMode(main), pixels(1920, 1080));
        userModeName = shownModeName(xorg.display());
    }

    quorlinth::testing::XorgDummyServer xorg{1920, 1080};
    std::unique_ptr<RandRDisplayServices> displays;
    DisplayID main = 0;
    std::string userModeName;
};

} // namespace

TEST_F(RandRModeTest, ShowsAnySizeAndGivesBackTheUsersMode) {
    struct Case {
        DisplayMode size;
        bool offered; // the output lists the size already
    };
    const Case cases[] = {
        {pixels(1298, 600), false}, // a phone's landscape viewport
        {pixels(600, 1298), false}, // and its portrait one
        {pixels(1280, 720), true},
        {pixels(2560, 1440), false}, // larger than the screen was
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size.pixelWidth << "x" << c.size.pixelHeight);
        ASSERT_EQ(modesOfSize(*displays, main, c.size), c.offered ? 1u : 0u);
        ASSERT_EQ(displays->applyMode(main, c.size), 0);
        EXPECT_EQ(displays->currentMode(main), c.size);
        EXPECT_EQ(displays->bounds(main), c.size);
        EXPECT_EQ(modesOfSize(*displays, main, c.size), 1u);
        auto located = displays->locate(main);
        ASSERT_TRUE(located);
        EXPECT_EQ(located->width, c.size.pixelWidth);

        ASSERT_EQ(displays->applyMode(main, pixels(1920, 1080)), 0);
        EXPECT_EQ(displays->currentMode(main), pixels(1920, 1080));
        EXPECT_EQ(shownModeName(xorg.display()), userModeName) << "the user's very mode, not a look-alike";
        EXPECT_EQ(modesOfSize(*displays, main, c.size), c.offered ? 1u : 0u) << "an added mode is removed";
    }
}

TEST_F(RandRModeTest, MovesFromOneAddedSizeToAnother) {
    ASSERT_EQ(displays->applyMode(main, pixels(1298, 600)), 0);
    ASSERT_EQ(displays->applyMode(main, pixels(1440, 900)), 0);
    EXPECT_EQ(displays->currentMode(main), pixels(1440, 900));
    EXPECT_EQ(modesOfSize(*displays, main, pixels(1298, 600)), 0u) << "the mode no longer shown is removed";
    ASSERT_EQ(displays->applyMode(main, pixels(1920, 1080)), 0);
    EXPECT_EQ(shownModeName(xorg.display()), userModeName);
    EXPECT_EQ(modesOfSize(*displays, main, pixels(1440, 900)), 0u);
}

TEST_F(RandRModeTest, RefusesSizesNoOutputCanShow) {
    for (const auto& size : {pixels(0, 600), pixels(-1298, 600), pixels(40000, 600)}) {
        SCOPED_TRACE(::testing::Message() << size.pixelWidth << "x" << size.pixelHeight);
        EXPECT_NE(displays->applyMode(main, size), 0);
        EXPECT_EQ(displays->currentMode(main), pixels(1920, 1080));
    }
    EXPECT_NE(displays->applyMode(0x1fffffff, pixels(1298, 600)), 0) << "no such output";
}

TEST_F(RandRModeTest, GoingAwayGivesBackTheUsersMode) {
    ASSERT_EQ(displays->applyMode(main, pixels(1298, 600)), 0);
    displays.reset();
    auto reopened = RandRDisplayServices::open(xorg.display());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->currentMode(main), pixels(1920, 1080));
    EXPECT_EQ(shownModeName(xorg.display()), userModeName);
    EXPECT_EQ(modesOfSize(*reopened, main, pixels(1298, 600)), 0u);
}

TEST_F(RandRModeTest, AProgramEndedBySignalLeavesNoChangedMode) {
    // SIGTERM and SIGINT end the programs through main: the mode comes back as they exit. After
    // SIGKILL nothing of the program runs; the next one to open the server restores it.
    struct Case {
        int signal;
        bool restoredAtExit;
    };
    for (const Case& c : {Case{SIGTERM, true}, Case{SIGINT, true}, Case{SIGKILL, false}}) {
        SCOPED_TRACE(strsignal(c.signal));
        ModeHolder holder(xorg.display(), pixels(1298, 600));
        ASSERT_TRUE(holder.applied());
        ASSERT_EQ(displays->currentMode(main), pixels(1298, 600));
        auto whileHeld = RandRDisplayServices::open(xorg.display());
        EXPECT_EQ(whileHeld->currentMode(main), pixels(1298, 600)) << "a running owner keeps its mode";
        holder.end(c.signal);
        EXPECT_EQ(displays->currentMode(main), c.restoredAtExit ? pixels(1920, 1080) : pixels(1298, 600));
        auto next = RandRDisplayServices::open(xorg.display());
        EXPECT_EQ(next->currentMode(main), pixels(1920, 1080));
        EXPECT_EQ(shownModeName(xorg.display()), userModeName);
        EXPECT_EQ(modesOfSize(*next, main, pixels(1298, 600)), 0u);
    }
}

TEST(RandRFixedScreen, StaysOnItsSizeWhereModesCannotChange) {
    quorlinth::testing::XvfbServer xvfb{1920, 1080};
    ASSERT_TRUE(xvfb.running());
    auto displays = RandRDisplayServices::open(xvfb.display());
    ASSERT_TRUE(displays);
    DisplayID main = displays->mainDisplay();
    auto modesBefore = displays->allModes(main);
    EXPECT_NE(displays->applyMode(main, pixels(2560, 1440)), 0) << "Xvfb cannot grow past its start size";
    EXPECT_EQ(displays->currentMode(main), pixels(1920, 1080));
    EXPECT_EQ(displays->allModes(main), modesBefore);
}
