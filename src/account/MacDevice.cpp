#include "account/MacDevice.h"

namespace quorlinth {

std::string MacDevice::statusText() const {
    bool ios = platform == "ios";
    bool desktop = isDesktopPlatform(platform);
    if (!online) return ios ? "离线 · 仅观看" : "离线";
    if (capabilities.captureReady && capabilities.webrtc) {
        if (ios) return "在线 · 可观看";
        if (desktop && !capabilities.inputReady) return "在线 · 可观看（对方未允许远程鼠标和键盘）";
        return "在线 · 可远控";
    }
    if (platform == "macos") return "在线 · 未开启共享（需在该 Mac 上点“启动屏幕共享”）";
    if (desktop) return "在线 · 未开启共享（需在该电脑上点“启动屏幕共享”）";
    if (ios) return "在线 · 未开启屏幕广播";
    return "在线 · 未开启共享";
}

std::optional<MacDevice> MacDevice::fromJson(const Json& value) {
    auto id = field::string(value, "id");
    auto name = field::string(value, "name");
    auto platform = field::string(value, "platform");
    auto online = field::boolean(value, "online");
    const Json* capabilities = field::object(value, "capabilities");
    if (!id || !name || !platform || !online || !capabilities) return std::nullopt;
    auto captureReady = field::boolean(*capabilities, "capture_ready");
    auto inputReady = field::boolean(*capabilities, "input_ready");
    auto webrtc = field::boolean(*capabilities, "webrtc");
    if (!captureReady || !inputReady || !webrtc) return std::nullopt;
    std::optional<bool> listed;
    if (value.contains("listed") && !value["listed"].is_null()) {
        listed = field::boolean(value, "listed");
        if (!listed) return std::nullopt;
    }
    return MacDevice{*id, *name, *platform, *online, {*captureReady, *inputReady, *webrtc}, listed};
}

Result<std::vector<MacDevice>> MacDevice::listFromJson(const Json& value) {
    if (!value.is_array()) return Error{"未能读取数据，因为它的格式不正确。"};
    std::vector<MacDevice> devices;
    for (const Json& entry : value) {
        auto device = fromJson(entry);
        if (!device) return Error{"未能读取数据，因为它的格式不正确。"};
        devices.push_back(std::move(*device));
    }
    return devices;
}

} // namespace quorlinth
