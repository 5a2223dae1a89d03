#pragma once

#include "base/Observable.h"
#include "model/MacPrompter.h"
#include "model/MacSharingSettings.h"
#include "platform/Clipboard.h"
#include "transfer/MacClipboardWatcher.h"
#include "transfer/MacTransferLink.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

class RTCDataChannel;

// The sharing side of file and clipboard transfer: wraps the viewer's "transfer" channel in a
// link, keeps both clipboards in step while transfer is allowed, offers the files copied here
// when the controller pulls, and decides on incoming files (LAN-paired and trusted devices
// without asking, everyone else through the prompt). Main thread only.
class MacHostTransfer : public std::enable_shared_from_this<MacHostTransfer> {
public:
    static constexpr const char* kFileQuestion = "接收对方发来的文件？";

    // What the transfer needs to know of the model, asked when needed.
    struct Hooks {
        std::function<bool()> sharing;
        std::function<bool()> allowTransfer;
        std::function<MacSharingAccess()> access;
        std::function<TransferRoute()> route; // any thread
        std::function<void(const std::string&)> log;
    };

    // `clipboard` may be null: files still travel, the clipboard stays local.
    static std::shared_ptr<MacHostTransfer> create(std::shared_ptr<Clipboard> clipboard,
                                                   MacPrompter& prompter, Hooks hooks,
                                                   MacTransferLink::Places places);

    Observable<std::optional<TransferProgress>> progress;
    Observable<std::string> note;

    // A new "transfer" channel of the current viewer (replacing the previous link), or none
    // when its session ended.
    void adopt(std::shared_ptr<RTCDataChannel> channel, std::string controllerID);
    // The transfer switch changed: the peer is told, the clipboard follows.
    void allowTransferChanged(bool on);
    void close();

    // The decision on an incoming file; exposed for the model's tests.
    void decideFile(const TransferOffer& offer, const std::string& controllerID,
                    std::function<void(bool)> decide);

private:
    MacHostTransfer(std::shared_ptr<Clipboard> clipboard, MacPrompter& prompter, Hooks hooks,
                    MacTransferLink::Places places);
    void installWatcher();
    void installLink(const std::shared_ptr<MacTransferLink>& link, const std::string& controllerID);
    void opened();

    MacPrompter& prompter;
    Hooks hooks;
    MacTransferLink::Places places;
    std::shared_ptr<MacClipboardWatcher> watcher;
    std::shared_ptr<MacTransferLink> link;
    std::vector<std::filesystem::path> copiedFiles;
};

// "12 字节", "1.5 KB", "3.2 MB": a file size as a person reads it (decimal units).
std::string formatByteCount(int64_t bytes);

} // namespace quorlinth
