#pragma once

namespace quorlinth::platformWords {

// Where a product text names something only macOS has, this build says what the person's own
// platform calls it. One table, so the texts elsewhere stay as they are.
#if defined(__APPLE__)
inline constexpr const char* kThisComputer = "这台 Mac";
inline constexpr const char* kSharePage = "共享这台 Mac";
inline constexpr const char* kLANComputers = "局域网内的 Mac";
inline constexpr const char* kLANExplanation = "同一网络内直接连接，不经过服务器。首次连接需输入对方“共享这台"
                                               " Mac”页的配对密码并由对方确认，之后免确认。";
inline constexpr const char* kLANNeedPassword = "首次连接这台 Mac 需要配对密码（在对方“共享这台 Mac”页查看）";
inline constexpr const char* kStartAtLoginToggle = "登录 macOS 后自动启动并共享";
inline constexpr const char* kDockToggle = "始终在程序坞中显示图标";
inline constexpr const char* kInputHelp =
    "鼠标和键盘控制需要在 macOS 辅助功能中允许当前版本 Quorlinth。屏幕共享另需屏幕录制权限。";
inline constexpr const char* kInputReady = "辅助功能权限已就绪";
inline constexpr const char* kInputWaiting = "等待辅助功能授权，返回应用后自动检查。";
// Empty where the platform has no settings page to open.
inline constexpr const char* kInputSettingsURL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
inline constexpr const char* kQRInstruction =
    "请使用已登录的 Android 或 iPhone：设备 → 扫一扫，在手机上确认 Mac 名称后授权登录。";
inline constexpr bool kHasPhoneMirroring = true;
inline constexpr const char* kFullScreenHandleHelp = "显示工具栏（⌃⌘F 退出全屏）";
inline constexpr const char* kFillScreenHelp =
    "完整：按原比例显示，比例不同时留黑边；铺满：拉伸占满屏幕（刘海以下），"
    "比例不同时画面略有变形，但不裁掉任何内容";
#else
inline constexpr const char* kThisComputer = "这台电脑";
inline constexpr const char* kSharePage = "共享这台电脑";
inline constexpr const char* kLANComputers = "局域网内的电脑";
inline constexpr const char* kLANExplanation = "同一网络内直接连接，不经过服务器。首次连接需输入对方“共享这台"
                                               "电脑”页的配对密码并由对方确认，之后免确认。";
inline constexpr const char* kLANNeedPassword = "首次连接这台电脑需要配对密码（在对方“共享这台电脑”页查看）";
inline constexpr const char* kStartAtLoginToggle = "登录桌面后自动启动并共享";
inline constexpr const char* kDockToggle = "始终在任务栏中显示图标";
inline constexpr const char* kInputHelp =
    "鼠标和键盘控制需要 X 显示服务器提供 XTest 扩展，Wayland 会话暂不支持远程输入。";
inline constexpr const char* kInputReady = "远程输入已就绪";
inline constexpr const char* kInputWaiting = "等待远程输入就绪，返回应用后自动检查。";
inline constexpr const char* kInputSettingsURL = "";
inline constexpr const char* kQRInstruction =
    "请使用已登录的 Android 或 iPhone：设备 → 扫一扫，在手机上确认电脑名称后授权登录。";
inline constexpr bool kHasPhoneMirroring = false;
inline constexpr const char* kFullScreenHandleHelp = "显示工具栏（Ctrl+Win+F 退出全屏）";
inline constexpr const char* kFillScreenHelp =
    "完整：按原比例显示，比例不同时留黑边；铺满：拉伸占满屏幕，比例不同时画面略有变形，但不裁掉任何内容";
#endif

} // namespace quorlinth::platformWords
