#include "model/MacHostTransfer.h"

#include "base/DisplayText.h"
#include "rtc/RTCDataChannel.h"
#include "transfer/RTCTransferChannel.h"

#include <cstdio>
#include <system_error>

namespace quorlinth {

std::string formatByteCount(int64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " 字节";
    const char* units[] = {"KB", "MB", "GB", "TB"};
    double value = double(bytes);
    int unit = -1;
    while (value >= 1000 && unit < 3) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

std::shared_ptr<MacHostTransfer> MacHostTransfer::create(std::shared_ptr<Clipboard> clipboard,
                                                         MacPrompter& prompter, Hooks hooks,
                                                         MacTransferLink::Places places) {
    auto transfer = std::shared_ptr<MacHostTransfer>(
        new MacHostTransfer(std::move(clipboard), prompter, std::move(hooks), std::move(places)));
    transfer->installWatcher();
    return transfer;
}

MacHostTransfer::MacHostTransfer(std::shared_ptr<Clipboard> clipboard, MacPrompter& prompter, Hooks hooks,
                                 MacTransferLink::Places places)
    : prompter(prompter), hooks(std::move(hooks)), places(std::move(places)),
      watcher(clipboard ? MacClipboardWatcher::create(std::move(clipboard)) : nullptr) {}

void MacHostTransfer::installWatcher() {
    if (!watcher) return;
    std::weak_ptr<MacHostTransfer> weak = weak_from_this();
    watcher->onText = [weak](std::string text) {
        auto self = weak.lock();
        if (self && self->link && self->hooks.allowTransfer()) self->link->sendClipboardText(std::move(text));
    };
    watcher->onImage = [weak](Bytes png) {
        auto self = weak.lock();
        if (self && self->link && self->hooks.allowTransfer())
            self->link->sendClipboardImage(std::move(png), {});
    };
    watcher->onFiles = [weak](std::vector<std::filesystem::path> files) {
        auto self = weak.lock();
        if (!self || !self->link || !self->hooks.allowTransfer()) return;
        self->copiedFiles = files;
        std::vector<RemoteFile> announced;
        for (const auto& file : files) {
            std::error_code error;
            auto size = std::filesystem::file_size(file, error);
            announced.push_back({file.filename().string(), error ? 0 : int64_t(size)});
        }
        self->link->announceCopiedFiles(std::move(announced));
    };
}

void MacHostTransfer::adopt(std::shared_ptr<RTCDataChannel> channel, std::string controllerID) {
    close();
    if (!channel) return;
    auto wrapped = RTCTransferChannel::wrap(channel);
    bool open = wrapped->readyState() == RTCDataChannelState::open;
    link = MacTransferLink::create(wrapped, places);
    installLink(link, controllerID);
    if (open) opened(); // a channel that opened before it reached us gets no open event
}

void MacHostTransfer::installLink(const std::shared_ptr<MacTransferLink>& created,
                                  const std::string& controllerID) {
    created->route.set(hooks.route);
    created->acceptsClipboard.set(hooks.allowTransfer);
    std::weak_ptr<MacHostTransfer> weak = weak_from_this();
    std::weak_ptr<MacTransferLink> issued = created;
    // Runs `change` only for the link in use; a replaced link's reports change nothing.
    auto forCurrent = [weak, issued](std::function<void(MacHostTransfer&)> change) {
        auto self = weak.lock();
        auto from = issued.lock();
        if (self && from && from == self->link) change(*self);
    };
    created->onOpen = [forCurrent] { forCurrent([](MacHostTransfer& self) { self.opened(); }); };
    created->onClipboard = [forCurrent](std::string text) {
        forCurrent([&](MacHostTransfer& self) {
            if (self.watcher && self.hooks.allowTransfer()) self.watcher->writeText(text);
        });
    };
    created->onClipboardImage = [forCurrent](Bytes png) {
        forCurrent([&](MacHostTransfer& self) {
            if (self.watcher && self.hooks.allowTransfer()) self.watcher->writeImage(png);
        });
    };
    created->onPull = [forCurrent] {
        forCurrent([](MacHostTransfer& self) {
            if (self.hooks.allowTransfer() && !self.copiedFiles.empty())
                self.link->sendFiles(self.copiedFiles);
        });
    };
    created->onOffer = [forCurrent, controllerID](TransferOffer offer, std::function<void(bool)> decide) {
        bool asked = false;
        forCurrent([&](MacHostTransfer& self) {
            asked = true;
            self.decideFile(offer, controllerID, decide);
        });
        if (!asked) decide(false);
    };
    created->onProgress = [forCurrent](std::optional<TransferProgress> value) {
        forCurrent([&](MacHostTransfer& self) { self.progress.set(value); });
    };
    created->onError = [forCurrent](std::string text) {
        forCurrent([&](MacHostTransfer& self) { self.note.set(text); });
    };
    created->onSent = [forCurrent](std::string name) {
        forCurrent([&](MacHostTransfer& self) {
            self.note.set("已发送 " + name + "，保存在对方的“下载/Quorlinth”");
        });
    };
    created->onReceived = [forCurrent](std::filesystem::path file) {
        forCurrent([&](MacHostTransfer& self) {
            self.note.set("已收到 " + file.filename().string() + "，保存在“下载/Quorlinth”");
        });
    };
    created->onClose = [forCurrent] {
        forCurrent([](MacHostTransfer& self) {
            if (self.watcher) self.watcher->stop();
            self.link.reset();
        });
    };
}

void MacHostTransfer::opened() {
    bool allowed = hooks.allowTransfer();
    link->sendHello(allowed);
    if (allowed && watcher) watcher->start();
}

void MacHostTransfer::allowTransferChanged(bool on) {
    if (!link) return;
    link->sendHello(on);
    if (on && watcher) {
        watcher->start();
    } else {
        if (watcher) watcher->stop();
        copiedFiles.clear();
    }
}

void MacHostTransfer::close() {
    if (watcher) watcher->stop();
    copiedFiles.clear();
    if (link) link->close();
    link.reset();
}

void MacHostTransfer::decideFile(const TransferOffer& offer, const std::string& controllerID,
                                 std::function<void(bool)> decide) {
    if (!hooks.sharing() || !hooks.allowTransfer()) return decide(false);
    if (controllerID.rfind("lan:", 0) == 0) return decide(true);
    if (!controllerID.empty() && hooks.access().trustedDevices.count(controllerID)) return decide(true);
    prompter.ask(
        {kFileQuestion,
         displaySafe(offer.name) + "（" + formatByteCount(offer.size) + "）将保存到“下载/Quorlinth”。",
         "接收", "拒绝"},
        std::move(decide));
}

} // namespace quorlinth
