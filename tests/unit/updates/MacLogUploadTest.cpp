#include "updates/MacLogUpload.h"

#include "updates/TerminalUpdate.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(MacLogUpload, StateLineNamesEverySwitchAndSession) {
    MacLogUploadState state;
    EXPECT_EQ(MacLogUpload::stateLine(state),
              "上报 sharing=false keepAwake=false input=false transfer=false sessions=");
    state = {true, true, false, true, {{"s-1", "已连接"}, {"lan-2", "正在连接…"}}};
    EXPECT_EQ(
        MacLogUpload::stateLine(state),
        "上报 sharing=true keepAwake=true input=false transfer=true sessions=s-1:已连接,lan-2:正在连接…");
}

TEST(MacLogUpload, DeviceNameIsCutByCharacters) {
    EXPECT_EQ(MacLogUpload::deviceName(""), "Linux");
    EXPECT_EQ(MacLogUpload::deviceName("workstation"), "workstation");
    EXPECT_EQ(MacLogUpload::deviceName(std::string(70, 'a')), std::string(64, 'a'));
    std::string chinese;
    for (int i = 0; i < 70; ++i)
        chinese += "机";
    std::string cut = MacLogUpload::deviceName(chinese);
    EXPECT_EQ(cut.size(), 64u * 3) << "cut inside a character";
}

TEST(MacLogUpload, RequestBody) {
    EXPECT_EQ(MacLogUpload::requestBody("42", "box", "line"),
              (Json{{"platform", "linux"}, {"build", "42"}, {"device", "box"}, {"text", "line"}}));
    EXPECT_EQ(MacLogUpload::requestBody("", "box", "line")["build"], "?");
}

TEST(MacLogUpload, ResultText) {
    EXPECT_EQ(MacLogUpload::resultText(std::string("261210-ABC234")), "日志已上报，编号 261210-ABC234");
    EXPECT_EQ(MacLogUpload::resultText(MacFailure::message("请先登录账号")), "日志上报失败：请先登录账号");
}

TEST(TerminalUpdate, ProgressLine) {
    EXPECT_EQ(downloadProgressLine(12'300'000, 27'000'000), "正在下载新版本… 45%（12.3 MB / 27.0 MB）");
    EXPECT_EQ(downloadProgressLine(0, 0), "正在下载新版本… 0%（0.0 MB / 0.0 MB）");
}
