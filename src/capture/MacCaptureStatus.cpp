#include "capture/MacCaptureStatus.h"

#include "capture/MacCapture.h"

namespace quorlinth {

namespace captureStatus {

std::string displayChanged(const std::string& displayName) {
    return "主显示器已变为“" + displayName + "”，继续共享";
}

std::string lockChanged(bool locked) {
    return locked ? "屏幕已锁定，共享保持中" : "屏幕已解锁";
}

std::string virtualDisplayChanged(bool present) {
    return present ? "正在通过虚拟屏共享" : "已移除 Quorlinth 虚拟屏";
}

std::string virtualDisplayLogLine(bool present) {
    return present ? "已添加虚拟屏" : "已移除虚拟屏";
}

std::string sharingState(bool locked, const std::string& lockDescription) {
    if (locked) return "屏幕已锁定，共享保持中，解锁后恢复画面（系统：" + lockDescription + "）";
    return "正在共享主显示器";
}

} // namespace captureStatus

ViewportRouting routeViewportRequest(std::string_view message, MacCapture* capture) {
    auto requested = MacViewport::fromRequest(message);
    if (!requested) return ViewportRouting::notViewport;
    if (!capture) return ViewportRouting::ignored;
    MacViewportSession& session = capture->viewport();
    if (session.current == *requested) return ViewportRouting::ignored;
    if (!session.original) session.original = session.current;
    session.current = *requested;
    capture->applyViewport();
    return ViewportRouting::applied;
}

} // namespace quorlinth
