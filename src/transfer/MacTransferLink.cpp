#include "transfer/MacTransferLink.h"

#include "base/Uuid.h"
#include "store/Paths.h"
#include "transfer/SafeFileName.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlinth {

namespace fs = std::filesystem;
using Type = TransferMessage::Type;

namespace {

constexpr const char* kClipboardImageName = "剪贴板图片.png";

void closeFile(int& file) {
    if (file >= 0) ::close(file);
    file = -1;
}

bool writeAll(int file, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(file, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

ssize_t readSome(int file, uint8_t* data, size_t size) {
    ssize_t got;
    do {
        got = ::read(file, data, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

std::optional<Bytes> readWholeFile(const fs::path& path, int64_t expected) {
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return std::nullopt;
    Bytes data(static_cast<size_t>(expected));
    size_t filled = 0;
    while (filled < data.size()) {
        ssize_t got = readSome(file, data.data() + filled, data.size() - filled);
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    ::close(file);
    if (filled != data.size()) return std::nullopt;
    return data;
}

std::string displayName(const fs::path& path) {
    fs::path name = path.filename();
    if (name.empty()) name = path.parent_path().filename();
    return name.string();
}

std::string rejectText(const std::string& reason) {
    if (reason == "disabled") return "对方未开启剪贴板与文件传输";
    if (reason == "busy") return "对方正在接收其他文件";
    if (reason == "too_large") return "文件超过中转连接的 100 MB 限制";
    if (reason == "declined") return "对方拒绝接收";
    return "对方未接收";
}

} // namespace

// Forwards channel events (any thread) onto the link's queue while the link lives.
class MacTransferLink::ChannelEvents : public TransferChannelDelegate {
public:
    explicit ChannelEvents(std::weak_ptr<MacTransferLink> link) : link(std::move(link)) {}
    void channelDidChangeState() override {
        forward([](MacTransferLink& self) { self.channelStateChanged(); });
    }
    void channelDidReceive(const Bytes& data, bool binary) override {
        forward([data, binary](MacTransferLink& self) { self.received(data, binary); });
    }
    void channelDidChangeBufferedAmount() override {
        forward([](MacTransferLink& self) { self.resume(); });
    }

private:
    void forward(std::function<void(MacTransferLink&)> work) {
        if (auto self = link.lock()) self->onQueue(std::move(work));
    }
    std::weak_ptr<MacTransferLink> link;
};

MacTransferLink::Places MacTransferLink::defaultPlaces() {
    std::error_code ignored;
    return {downloadsDir(), fs::temp_directory_path(ignored)};
}

std::shared_ptr<MacTransferLink> MacTransferLink::create(std::shared_ptr<TransferChannel> channel,
                                                         Places places, Dispatcher* main) {
    auto link = std::make_shared<MacTransferLink>(std::move(channel), std::move(places),
                                                  main ? *main : static_cast<Dispatcher&>(mainQueue()));
    link->events = std::make_shared<ChannelEvents>(link);
    link->transport->setDelegate(link->events);
    return link;
}

MacTransferLink::MacTransferLink(std::shared_ptr<TransferChannel> channel, Places places, Dispatcher& main)
    : transport(std::move(channel)), places(std::move(places)), main(main) {}

MacTransferLink::~MacTransferLink() {
    // Dropped without close: leave no partial or temporary file behind.
    abandonTransfers();
}

// ---- public operations --------------------------------------------------------------------

void MacTransferLink::onQueue(std::function<void(MacTransferLink&)> work) {
    queue.post([self = shared_from_this(), work = std::move(work)] { work(*self); });
}

void MacTransferLink::sendHello(bool enabled) {
    onQueue([enabled](MacTransferLink& self) { self.sendText(TransferMessage::hello(enabled)); });
}

void MacTransferLink::sendClipboardText(std::string text) {
    if (text.empty() || text.size() > TransferMessage::kMaxClipText) return;
    onQueue([text = std::move(text)](MacTransferLink& self) {
        // A channel may take less than the protocol allows (64 KiB messages on some peers).
        if (!self.sendText(TransferMessage::clipText(text)) && !self.closed)
            self.report([](MacTransferLink& link) {
                if (link.onError) link.onError("剪贴板文字未能同步（内容过长或连接已断开）");
            });
    });
}

void MacTransferLink::sendClipboardImage(Bytes png, std::function<void(bool)> completion) {
    if (png.empty() || static_cast<int64_t>(png.size()) > kMaxClipboardImage) {
        if (completion) main.post([completion] { completion(false); });
        return;
    }
    onQueue([png = std::move(png), completion = std::move(completion)](MacTransferLink& self) mutable {
        if (self.closed) {
            if (completion) self.main.post([completion] { completion(false); });
            return;
        }
        fs::path item = self.places.temporary / ("quorlinth-clip-" + uuidV4() + ".png");
        int file = ::open(item.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        bool written = file >= 0 && writeAll(file, png.data(), png.size());
        closeFile(file);
        if (!written) {
            std::error_code ignored;
            fs::remove(item, ignored);
            if (completion) self.main.post([completion] { completion(false); });
            return;
        }
        self.clipItems[item] = std::move(completion);
        self.outbox.push_back(item);
        self.startNext();
    });
}

void MacTransferLink::sendFiles(std::vector<fs::path> files) {
    onQueue([files = std::move(files)](MacTransferLink& self) mutable { self.enqueue(std::move(files)); });
}

void MacTransferLink::announceCopiedFiles(std::vector<RemoteFile> files) {
    onQueue(
        [files = std::move(files)](MacTransferLink& self) { self.sendText(TransferMessage::files(files)); });
}

void MacTransferLink::pull(int count) {
    onQueue([count](MacTransferLink& self) {
        self.pulls += std::max(count, 0);
        self.sendText(TransferMessage::pull());
    });
}

void MacTransferLink::close() {
    onQueue([](MacTransferLink& self) { self.closeOnQueue(); });
}

// ---- queue helpers ------------------------------------------------------------------------

void MacTransferLink::report(std::function<void(MacTransferLink&)> body) {
    auto weak = weak_from_this();
    // From the destructor (the last task on our queue let go): nobody is left to hear it, and
    // the owner's main queue may already be gone.
    if (weak.expired()) return;
    main.post([weak = std::move(weak), body = std::move(body)] {
        if (auto self = weak.lock()) body(*self);
    });
}

bool MacTransferLink::sendText(const std::string& text) {
    if (closed || transport->readyState() != RTCDataChannelState::open) return false;
    return transport->send(toBytes(text), false);
}

TransferRoute MacTransferLink::currentRoute() {
    auto query = route.get();
    return query ? query() : TransferRoute::unknown;
}

void MacTransferLink::channelStateChanged() {
    if (closed) return;
    auto state = transport->readyState();
    if (state == RTCDataChannelState::open) {
        report([](MacTransferLink& self) {
            if (self.onOpen) self.onOpen();
        });
        startNext();
    } else if (state == RTCDataChannelState::closed) {
        closeOnQueue();
    }
}

void MacTransferLink::reportProgress(bool incoming, const std::string& name, int64_t done, int64_t total,
                                     bool final) {
    auto now = Clock::now();
    if (!final && lastProgress && now - *lastProgress <= kProgressInterval) return;
    lastProgress = now;
    Progress progress{incoming, name, done, total};
    report([progress](MacTransferLink& self) {
        if (self.onProgress) self.onProgress(progress);
    });
}

// ---- receiving ----------------------------------------------------------------------------

void MacTransferLink::received(const Bytes& data, bool binary) {
    if (closed) return;
    if (binary) return receivedChunk(data);
    if (data.size() > TransferMessage::kMaxTextMessage) return;
    auto message =
        TransferMessage::read(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (message) receivedControl(*message);
}

void MacTransferLink::receivedControl(const TransferMessage& message) {
    bool forOutgoing = sending && message.id == sending->id;
    switch (message.type) {
    case Type::hello:
        return report([enabled = message.enabled](MacTransferLink& self) {
            if (self.onHello) self.onHello(enabled);
        });
    case Type::clip:
        return report([text = message.text](MacTransferLink& self) {
            if (self.onClipboard) self.onClipboard(text);
        });
    case Type::files: {
        std::vector<RemoteFile> files;
        for (const auto& item : message.items)
            files.push_back({safeFileName(item.name), item.size});
        return report([files](MacTransferLink& self) {
            if (self.onRemoteFiles) self.onRemoteFiles(files);
        });
    }
    case Type::pull:
        return report([](MacTransferLink& self) {
            if (self.onPull) self.onPull();
        });
    case Type::offer:
        return receivedOffer(message);
    case Type::end:
        if (receiving && message.id == receiving->id) receivedEnd(message);
        return;
    case Type::cancel:
        if (receiving && message.id == receiving->id) failIncoming("对方取消了发送");
        return;
    case Type::accept:
        if (forOutgoing && !sending->accepted) {
            sending->accepted = true;
            pump();
        }
        return;
    case Type::reject:
        if (forOutgoing) finishOutgoing(Type::reject, message.reason);
        return;
    case Type::done:
    case Type::fail:
        if (forOutgoing) finishOutgoing(message.type, "");
        return;
    }
}

void MacTransferLink::receivedOffer(const TransferMessage& message) {
    const std::string& id = message.id;
    if (receiving) return (void)sendText(TransferMessage::reject(id, "busy"));
    if (currentRoute() != TransferRoute::direct && message.size > kRelayLimit)
        return (void)sendText(TransferMessage::reject(id, "too_large"));
    std::string name = safeFileName(message.name);
    if (message.clip) {
        auto accepts = acceptsClipboard.get();
        if (accepts && !accepts()) return (void)sendText(TransferMessage::reject(id, "disabled"));
        if (message.size > kMaxClipboardImage)
            return (void)sendText(TransferMessage::reject(id, "too_large"));
        return acceptOffer(id, name, message.size, true);
    }
    if (pulls > 0) {
        --pulls;
        return acceptOffer(id, name, message.size, false);
    }
    Offer offer{name, message.size};
    int64_t size = message.size;
    report([offer, id, name, size](MacTransferLink& self) {
        auto answered = std::make_shared<bool>(false);
        auto decide = [weak = self.weak_from_this(), answered, id, name, size](bool accepted) {
            if (std::exchange(*answered, true)) return;
            if (auto link = weak.lock())
                link->onQueue([accepted, id, name, size](MacTransferLink& self) {
                    if (self.closed) return;
                    if (!accepted) return (void)self.sendText(TransferMessage::reject(id, "declined"));
                    if (self.receiving) return (void)self.sendText(TransferMessage::reject(id, "busy"));
                    self.acceptOffer(id, name, size, false);
                });
        };
        if (self.onOffer)
            self.onOffer(offer, decide);
        else
            decide(false);
    });
}

void MacTransferLink::acceptOffer(const std::string& id, const std::string& name, int64_t size, bool clip) {
    std::error_code error;
    fs::create_directories(places.downloads, error);
    fs::path partial = places.downloads / ("." + uuidV4() + ".quorlinth-part");
    int file = error ? -1 : ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file < 0) {
        report([](MacTransferLink& self) {
            if (self.onError) self.onError("无法写入“下载/Quorlinth”文件夹");
        });
        sendText(TransferMessage::reject(id, "declined"));
        return;
    }
    receiving.emplace();
    receiving->id = id;
    receiving->name = clip ? kClipboardImageName : name;
    receiving->size = size;
    receiving->file = file;
    receiving->partial = partial;
    receiving->clip = clip;
    if (clip) incomingClip = id;
    sendText(TransferMessage::answer(Type::accept, id));
}

void MacTransferLink::receivedChunk(const Bytes& data) {
    if (!receiving) return;
    auto& incoming = *receiving;
    if (static_cast<int64_t>(data.size()) > incoming.size - incoming.received) {
        sendText(TransferMessage::answer(Type::fail, incoming.id));
        return failIncoming("收到的数据超过文件大小，已丢弃");
    }
    if (!writeAll(incoming.file, data.data(), data.size())) {
        sendText(TransferMessage::answer(Type::fail, incoming.id));
        return failIncoming("写入文件失败，磁盘空间可能不足");
    }
    incoming.hash.update(data);
    incoming.received += static_cast<int64_t>(data.size());
    reportProgress(true, incoming.name, incoming.received, incoming.size, incoming.received == incoming.size);
}

void MacTransferLink::receivedEnd(const TransferMessage& message) {
    Incoming incoming = std::move(*receiving);
    receiving.reset();
    incomingClip.reset();
    std::string digest = hexEncode(incoming.hash.finish());
    bool fsynced = incoming.file >= 0 && ::fsync(incoming.file) == 0;
    closeFile(incoming.file);
    std::error_code ignored;
    if (incoming.received != incoming.size || message.sha256 != digest || !fsynced) {
        fs::remove(incoming.partial, ignored);
        sendText(TransferMessage::answer(Type::fail, incoming.id));
        std::string text = incoming.name + " 校验失败，已丢弃";
        return report([text](MacTransferLink& self) {
            if (self.onError) self.onError(text);
        });
    }
    if (incoming.clip) {
        auto image = readWholeFile(incoming.partial, incoming.size);
        fs::remove(incoming.partial, ignored);
        sendText(TransferMessage::answer(image ? Type::done : Type::fail, incoming.id));
        if (image)
            report([image = std::move(*image)](MacTransferLink& self) {
                if (self.onClipboardImage) self.onClipboardImage(image);
            });
        return;
    }
    auto saved = moveIntoFolder(incoming.partial, places.downloads, incoming.name);
    if (!saved) {
        fs::remove(incoming.partial, ignored);
        sendText(TransferMessage::answer(Type::fail, incoming.id));
        std::string text = "无法保存 " + incoming.name;
        return report([text](MacTransferLink& self) {
            if (self.onError) self.onError(text);
        });
    }
    sendText(TransferMessage::answer(Type::done, incoming.id));
    report([file = saved.value()](MacTransferLink& self) {
        if (self.onReceived) self.onReceived(file);
    });
}

void MacTransferLink::discardIncoming() {
    if (!receiving) return;
    closeFile(receiving->file);
    std::error_code ignored;
    fs::remove(receiving->partial, ignored);
    receiving.reset();
    incomingClip.reset();
}

void MacTransferLink::failIncoming(const std::string& text) {
    discardIncoming();
    report([text](MacTransferLink& self) {
        if (self.onError) self.onError(text);
    });
}

// ---- sending ------------------------------------------------------------------------------

void MacTransferLink::enqueue(std::vector<fs::path> files) {
    if (closed) return;
    for (auto& file : files) {
        std::error_code error;
        auto status = fs::status(file, error);
        std::string text;
        if (!fs::exists(status))
            text = "无法读取 " + displayName(file);
        else if (!fs::is_regular_file(status))
            text = "暂不支持发送文件夹：" + displayName(file);
        if (!text.empty()) {
            report([text](MacTransferLink& self) {
                if (self.onError) self.onError(text);
            });
            settle(displayName(file), false);
            continue;
        }
        outbox.push_back(std::move(file));
    }
    startNext();
}

void MacTransferLink::startNext() {
    // Offers wait for the channel: one dropped before it opens would stall the queue.
    while (!closed && !sending && !outbox.empty() && transport->readyState() == RTCDataChannelState::open) {
        fs::path item = std::move(outbox.front());
        outbox.pop_front();
        bool clip = clipItems.count(item) > 0;
        std::string name = clip ? kClipboardImageName : displayName(item);
        int file = ::open(item.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (file < 0 || ::fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (file >= 0) ::close(file);
            std::string text = "无法读取 " + name;
            report([text](MacTransferLink& self) {
                if (self.onError) self.onError(text);
            });
            clip ? finishClipItem(item, false) : settle(name, false);
            continue;
        }
        if (currentRoute() != TransferRoute::direct && info.st_size > kRelayLimit) {
            ::close(file);
            std::string text = name + " 超过 100 MB，中转连接下暂不发送；直连时不限大小";
            report([text](MacTransferLink& self) {
                if (self.onError) self.onError(text);
            });
            clip ? finishClipItem(item, false) : settle(name, false);
            continue;
        }
        sending.emplace();
        sending->id = uuidV4();
        sending->source = item;
        sending->name = name;
        sending->file = file;
        sending->size = info.st_size;
        sending->clip = clip;
        paused = false;
        sendText(TransferMessage::offer(sending->id, name, sending->size, clip));
    }
}

void MacTransferLink::pump() {
    if (closed || !sending || !sending->accepted || sending->ended) return;
    auto& outgoing = *sending;
    paused = transport->bufferedAmount() >= kPauseAtBuffered;
    Bytes chunk(kChunkSize);
    while (!paused) {
        int64_t remaining = outgoing.size - outgoing.sent;
        // Past the announced size, one byte tells whether the file grew.
        size_t want = remaining > 0 ? static_cast<size_t>(std::min(kChunkSize, remaining)) : 1;
        ssize_t got = readSome(outgoing.file, chunk.data(), want);
        if (got < 0) return cancelOutgoing("读取文件失败");
        if (got == 0) break;
        if (remaining == 0) return cancelOutgoing("文件在发送过程中被修改");
        Bytes piece(chunk.begin(), chunk.begin() + got);
        outgoing.hash.update(piece);
        outgoing.sent += got;
        if (!transport->send(piece, true)) return cancelOutgoing("连接已断开");
        reportProgress(false, outgoing.name, outgoing.sent, outgoing.size, outgoing.sent == outgoing.size);
        paused = transport->bufferedAmount() >= kPauseAtBuffered;
    }
    if (paused) return;
    if (outgoing.sent != outgoing.size) return cancelOutgoing("文件在发送过程中被修改");
    outgoing.ended = true;
    if (outgoing.size == 0) reportProgress(false, outgoing.name, 0, 0, true);
    sendText(TransferMessage::end(outgoing.id, hexEncode(outgoing.hash.finish())));
}

void MacTransferLink::resume() {
    if (closed || !paused || transport->bufferedAmount() > kResumeAtBuffered) return;
    paused = false;
    pump();
}

void MacTransferLink::cancelOutgoing(const std::string& reason) {
    if (!sending) return;
    sendText(TransferMessage::answer(Type::cancel, sending->id));
    Outgoing outgoing = std::move(*sending);
    sending.reset();
    paused = false;
    closeFile(outgoing.file);
    report([reason](MacTransferLink& self) {
        if (self.onError) self.onError(reason);
    });
    outgoing.clip ? finishClipItem(outgoing.source, false) : settle(outgoing.name, false);
    startNext();
}

// The receiver's answer to the current outgoing file: "done", "fail" or "reject".
void MacTransferLink::finishOutgoing(Type answer, const std::string& reason) {
    Outgoing outgoing = std::move(*sending);
    sending.reset();
    paused = false;
    closeFile(outgoing.file);
    if (outgoing.clip) {
        finishClipItem(outgoing.source, answer == Type::done);
    } else if (answer == Type::done) {
        report([name = outgoing.name](MacTransferLink& self) {
            if (self.onSent) self.onSent(name);
        });
    } else {
        std::string text = answer == Type::reject ? outgoing.name + "：" + rejectText(reason)
                                                  : outgoing.name + " 未传送成功，请重试";
        report([text](MacTransferLink& self) {
            if (self.onError) self.onError(text);
        });
    }
    if (!outgoing.clip) settle(outgoing.name, answer == Type::done);
    startNext();
}

void MacTransferLink::finishClipItem(fs::path item, bool stored) {
    auto found = clipItems.find(item);
    if (found == clipItems.end()) return;
    auto completion = std::move(found->second);
    clipItems.erase(found);
    std::error_code ignored;
    fs::remove(item, ignored);
    if (completion) main.post([completion, stored] { completion(stored); });
}

// ---- closing ------------------------------------------------------------------------------

void MacTransferLink::closeOnQueue() {
    if (closed) return;
    closed = true;
    transport->setDelegate({});
    transport->close();
    abandonTransfers();
    report([](MacTransferLink& self) {
        if (self.onProgress) self.onProgress(std::nullopt);
        if (self.onClose) self.onClose();
    });
}

void MacTransferLink::settle(const std::string& name, bool delivered) {
    report([name, delivered](MacTransferLink& self) {
        if (self.onSettled) self.onSettled(name, delivered);
    });
}

void MacTransferLink::abandonTransfers() {
    if (sending) {
        closeFile(sending->file);
        if (!sending->clip) settle(sending->name, false);
    }
    sending.reset();
    paused = false;
    discardIncoming();
    for (const auto& item : outbox)
        if (!clipItems.count(item)) settle(displayName(item), false);
    outbox.clear();
    while (!clipItems.empty())
        finishClipItem(clipItems.begin()->first, false);
}

} // namespace quorlinth
