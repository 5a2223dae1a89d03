#include "log/X11DisplayFacts.h"

#include "../store/TestSupport.h"
#include "log/MacLog.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quorlinth;
using quorlinth::testing::ScopedEnv;

namespace {

// A private Xvfb on a free display number (chosen by the server through -displayfd).
class PrivateXvfb {
public:
    PrivateXvfb() {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return;
        server = ::fork();
        if (server == 0) {
            ::close(pipeFds[0]);
            const std::string fd = std::to_string(pipeFds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x720x24", "-nolisten",
                     "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        std::string number;
        char byte;
        while (::read(pipeFds[0], &byte, 1) == 1 && byte != '\n')
            number += byte;
        ::close(pipeFds[0]);
        if (!number.empty()) display = ":" + number;
    }
    ~PrivateXvfb() {
        if (server > 0) {
            ::kill(server, SIGTERM);
            ::waitpid(server, nullptr, 0);
        }
    }
    const std::string& name() const { return display; }

private:
    pid_t server = -1;
    std::string display;
};

} // namespace

TEST(X11DisplayFacts, ReportsTheServerItsExtensionsAndMonitors) {
    if (std::system("command -v Xvfb >/dev/null") != 0) GTEST_SKIP() << "Xvfb is not installed";
    PrivateXvfb xvfb;
    ASSERT_FALSE(xvfb.name().empty()) << "Xvfb did not start";
    ScopedEnv display("DISPLAY", xvfb.name());

    const DisplayFacts facts = queryX11DisplayFacts();
    EXPECT_TRUE(facts.screenRecording);
    EXPECT_TRUE(facts.accessibility);
    ASSERT_EQ(facts.screens.size(), 1u);
    EXPECT_FALSE(facts.screens[0].name.empty());
    EXPECT_EQ(facts.screens[0].x, 0);
    EXPECT_EQ(facts.screens[0].y, 0);
    EXPECT_EQ(facts.screens[0].width, 1280);
    EXPECT_EQ(facts.screens[0].height, 720);

    setDisplayFactsSource(queryX11DisplayFacts);
    const std::string line = MacLog::environmentLine();
    setDisplayFactsSource(nullptr);
    EXPECT_NE(line.find(" screenRecording=true accessibility=true screens=[" + facts.screens[0].name +
                        " (0, 0, 1280, 720)] proxyTUN="),
              std::string::npos)
        << line;
}

TEST(X11DisplayFacts, NoServerMeansNothingGranted) {
    ScopedEnv display("DISPLAY", ":9999");
    const DisplayFacts facts = queryX11DisplayFacts();
    EXPECT_FALSE(facts.screenRecording);
    EXPECT_FALSE(facts.accessibility);
    EXPECT_TRUE(facts.screens.empty());
}
