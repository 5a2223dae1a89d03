#include "capture/MacCaptureStatus.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(CaptureStatus, TextsForCaptureEvents) {
    EXPECT_EQ(captureStatus::displayChanged("DELL U2720Q"), "主显示器已变为“DELL U2720Q”，继续共享");
    EXPECT_EQ(captureStatus::lockChanged(true), "屏幕已锁定，共享保持中");
    EXPECT_EQ(captureStatus::lockChanged(false), "屏幕已解锁");
    EXPECT_EQ(captureStatus::virtualDisplayChanged(true), "正在通过虚拟屏共享");
    EXPECT_EQ(captureStatus::virtualDisplayChanged(false), "已移除 Quorlinth 虚拟屏");
    EXPECT_EQ(captureStatus::virtualDisplayLogLine(true), "已添加虚拟屏");
    EXPECT_EQ(captureStatus::virtualDisplayLogLine(false), "已移除虚拟屏");
    EXPECT_EQ(captureStatus::sharingState(true, "X11 2：BadAccess"),
              "屏幕已锁定，共享保持中，解锁后恢复画面（系统：X11 2：BadAccess）");
    EXPECT_EQ(captureStatus::sharingState(false, ""), "正在共享主显示器");
}
