#pragma once

#include "base/Encoding.h"
#include "base/LockedBox.h"
#include "base/MainQueue.h"
#include "base/SerialQueue.h"
#include "crypto/Sha256.h"
#include "transfer/TransferChannel.h"
#include "transfer/TransferMessage.h"
#include "transfer/TransferTypes.h"

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// Files and clipboard contents between the two ends of a session over one "transfer" channel.
// Both ends run the same link. Files go one at a time: an offer the receiver accepts or rejects,
// raw binary chunks, then an "end" with the SHA-256 of the whole file. Clipboard text is one
// message; a clipboard image is a file transfer marked as clipboard.
//
// All protocol work runs on the link's queue ("quorlinth.transfer"); callbacks run on the main
// queue and do nothing once the link is gone. Set the callbacks on the main thread right after
// create(); `route` and `acceptsClipboard` are asked on the link's queue.
class MacTransferLink : public std::enable_shared_from_this<MacTransferLink> {
public:
    using Offer = TransferOffer;
    using Progress = TransferProgress;

    static constexpr int64_t kChunkSize = 65'536;
    static constexpr uint64_t kPauseAtBuffered = 4'194'304;
    static constexpr uint64_t kResumeAtBuffered = 1'048'575;
    static constexpr int64_t kRelayLimit = 104'857'600;
    static constexpr int64_t kMaxClipboardImage = 33'554'432;
    static constexpr auto kProgressInterval = std::chrono::milliseconds(200);

    // Where received files go (the download folder + "/Quorlinth") and where clipboard images
    // wait while they are sent.
    struct Places {
        std::filesystem::path downloads;
        std::filesystem::path temporary;
    };
    static Places defaultPlaces();

    // `main` is where callbacks run; the process's main queue when null.
    static std::shared_ptr<MacTransferLink> create(std::shared_ptr<TransferChannel> channel,
                                                   Places places = defaultPlaces(),
                                                   Dispatcher* main = nullptr);
    ~MacTransferLink();
    MacTransferLink(const MacTransferLink&) = delete;
    MacTransferLink& operator=(const MacTransferLink&) = delete;

    std::function<void()> onOpen;
    std::function<void()> onClose;
    std::function<void(bool enabled)> onHello;
    std::function<void(std::string text)> onClipboard;
    std::function<void(Bytes png)> onClipboardImage;
    // May a clipboard image be received now; true when unset.
    LockedBox<std::function<bool()>> acceptsClipboard;
    std::function<void(std::vector<RemoteFile>)> onRemoteFiles;
    std::function<void()> onPull;
    // Ask the user; call `decide` once. Offers are declined when unset.
    std::function<void(Offer, std::function<void(bool)> decide)> onOffer;
    std::function<void(std::optional<Progress>)> onProgress;
    std::function<void(std::filesystem::path file)> onReceived;
    std::function<void(std::string name)> onSent;
    // Once per file given to sendFiles, after its onSent or onError: delivered, or given up
    // (refused, failed, or dropped when the link closed).
    std::function<void(std::string name, bool delivered)> onSettled;
    std::function<void(std::string text)> onError;
    // The current route; unknown when unset.
    LockedBox<std::function<TransferRoute()>> route;

    const std::shared_ptr<TransferChannel>& channel() const { return transport; }

    // Any thread.
    void sendHello(bool enabled);
    void sendClipboardText(std::string text);
    // `completion` (main queue) answers whether the peer stored the image: false at once for
    // empty data or more than 32 MiB, later for a refusal or failure.
    void sendClipboardImage(Bytes png, std::function<void(bool)> completion);
    void sendFiles(std::vector<std::filesystem::path> files);
    void announceCopiedFiles(std::vector<RemoteFile> files);
    void pull(int count);
    void close();

    MacTransferLink(std::shared_ptr<TransferChannel> channel, Places places, Dispatcher& main);

private:
    struct Outgoing {
        std::string id;
        std::filesystem::path source;
        std::string name;
        int file = -1;
        int64_t size = 0;
        int64_t sent = 0;
        crypto::Sha256 hash;
        bool accepted = false;
        bool ended = false;
        bool clip = false;
    };
    struct Incoming {
        std::string id;
        std::string name;
        int64_t size = 0;
        int64_t received = 0;
        int file = -1;
        std::filesystem::path partial;
        crypto::Sha256 hash;
        bool clip = false;
    };
    class ChannelEvents;

    // Queue only.
    void onQueue(std::function<void(MacTransferLink&)> work);
    void report(std::function<void(MacTransferLink&)> body);
    bool sendText(const std::string& text);
    TransferRoute currentRoute();
    void channelStateChanged();
    void received(const Bytes& data, bool binary);
    void receivedControl(const TransferMessage& message);
    void receivedChunk(const Bytes& data);
    void receivedOffer(const TransferMessage& message);
    void acceptOffer(const std::string& id, const std::string& name, int64_t size, bool clip);
    void receivedEnd(const TransferMessage& message);
    void discardIncoming();
    void failIncoming(const std::string& text);
    void enqueue(std::vector<std::filesystem::path> files);
    void startNext();
    void pump();
    void resume();
    void cancelOutgoing(const std::string& reason);
    void finishOutgoing(TransferMessage::Type answer, const std::string& reason);
    void finishClipItem(std::filesystem::path item, bool stored);
    void settle(const std::string& name, bool delivered);
    void reportProgress(bool incoming, const std::string& name, int64_t done, int64_t total, bool final);
    void closeOnQueue();
    void abandonTransfers();

    std::shared_ptr<TransferChannel> transport;
    std::shared_ptr<ChannelEvents> events;
    Places places;
    Dispatcher& main;
    SerialQueue queue{"quorlinth.transfer"};
    bool closed = false;
    std::deque<std::filesystem::path> outbox;
    std::optional<Outgoing> sending;
    bool paused = false;
    std::optional<Incoming> receiving;
    int pulls = 0;
    std::map<std::filesystem::path, std::function<void(bool)>> clipItems;
    std::optional<std::string> incomingClip;
    std::optional<Clock::time_point> lastProgress; // none: the distant past
};

} // namespace quorlinth
