#include "controller/ConnectionDiagnostics.h"

#include "platform/SystemLog.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

struct RecordingSystemLog : SystemLog {
    std::vector<std::string> lines;
    void write(const std::string& text) override { lines.push_back(text); }
};

} // namespace

TEST(ConnectionDiagnostics, KeepsTheNewest600LinesAndFeedsSinkAndSystemLog) {
    ConnectionDiagnostics diagnostics;
    std::vector<std::string> sunk;
    auto systemLog = std::make_shared<RecordingSystemLog>();
    diagnostics.setSink([&](const std::string& text) { sunk.push_back(text); });
    diagnostics.setSystemLog(systemLog);
    for (int i = 0; i < 700; ++i)
        diagnostics.log("RTC line " + std::to_string(i));

    auto events = diagnostics.events();
    ASSERT_EQ(events.size(), 600u);
    EXPECT_NE(events.front().find("s RTC line 100"), std::string::npos) << events.front();
    EXPECT_NE(events.back().find("s RTC line 699"), std::string::npos);
    EXPECT_EQ(sunk.back(), "RTC line 699"); // the sink gets the text without the uptime
    EXPECT_EQ(systemLog->lines.back(), "Quorlinth connection: RTC line 699");
}
