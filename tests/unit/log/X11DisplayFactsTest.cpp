#include "log/X11DisplayFacts.h"

#include "../store/TestSupport.h"
#include "XvfbServer.h"
#include "log/MacLog.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ScopedEnv;

TEST(X11DisplayFacts, ReportsTheServerItsExtensionsAndMonitors) {
    if (std::system("command -v Xvfb >/dev/null") != 0) GTEST_SKIP() << "Xvfb is not installed";
    // Started with -noreset: a server that resets when the first query disconnects can refuse the second.
    quorlinth::testing::XvfbServer xvfb{1280, 720};
    ASSERT_TRUE(xvfb.running()) << "Xvfb did not start";
    ScopedEnv display("DISPLAY", xvfb.display());

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
