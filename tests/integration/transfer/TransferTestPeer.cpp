// One end of a transfer session for the transfer link's integration tests and benchmark, driven
// as a child process: JSON commands one per line on stdin, JSON events one per line on stdout.
//   transfer_test_peer offerer|answerer --downloads DIR [--route direct|relay|unknown]
//                      [--address A] [--ice-url URL --username U --credential C] [--relay-only]
//                      [--display D]
// The offerer opens the "transfer" channel (the controller); the answerer accepts it (the
// sharing side). Each wraps its channel in a transfer link and reports the link's callbacks. With
// --display, the X clipboard of that display is kept in sync through the link.

#include "EarlyCandidates.h"
#include "base/Encoding.h"
#include "base/Json.h"
#include "base/MainQueue.h"
#include "platform/linux/X11Clipboard.h"
#include "rtc/RTCFactory.h"
#include "transfer/MacClipboardWatcher.h"
#include "transfer/MacTransferLink.h"
#include "transfer/RTCTransferChannel.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sys/resource.h>
#include <thread>

using namespace quorlinth;

namespace {

std::mutex outputMutex;

void emit(Json event) {
    std::lock_guard lock(outputMutex);
    std::cout << event.dump() << std::endl;
}

// Resident and peak resident memory of this process, in KiB, and its CPU time so far.
Json memory() {
    std::ifstream status("/proc/self/status");
    Json figures = Json::object();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    figures["user_s"] = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
    figures["system_s"] = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    std::string line;
    while (std::getline(status, line)) {
        for (const char* key : {"VmRSS", "VmHWM"})
            if (line.rfind(std::string(key) + ":", 0) == 0)
                figures[key] = std::atoll(line.c_str() + std::strlen(key) + 1);
    }
    return figures;
}

// The link's channel with every text message it receives also reported as a "wire" event, so
// a test speaking raw messages sees the answers.
class TappedChannel : public TransferChannel,
                      public TransferChannelDelegate,
                      public std::enable_shared_from_this<TappedChannel> {
public:
    explicit TappedChannel(std::shared_ptr<RTCTransferChannel> inner) : inner(std::move(inner)) {}
    void attach() { inner->setDelegate(weak_from_this()); }

    RTCDataChannelState readyState() const override { return inner->readyState(); }
    bool send(const Bytes& data, bool binary) override { return inner->send(data, binary); }
    uint64_t bufferedAmount() const override { return inner->bufferedAmount(); }
    void setDelegate(std::weak_ptr<TransferChannelDelegate> target) override {
        std::lock_guard lock(mutex);
        delegate = std::move(target);
    }
    void close() override { inner->close(); }

    void channelDidChangeState() override {
        if (auto target = current()) target->channelDidChangeState();
    }
    void channelDidReceive(const Bytes& data, bool binary) override {
        if (!binary) emit({{"event", "wire"}, {"message", parseJsonObject(toString(data)).value_or(Json())}});
        if (auto target = current()) target->channelDidReceive(data, binary);
    }
    void channelDidChangeBufferedAmount() override {
        if (auto target = current()) target->channelDidChangeBufferedAmount();
    }

private:
    std::shared_ptr<TransferChannelDelegate> current() {
        std::lock_guard lock(mutex);
        return delegate.lock();
    }
    std::shared_ptr<RTCTransferChannel> inner;
    std::mutex mutex;
    std::weak_ptr<TransferChannelDelegate> delegate;
};

struct Settings {
    bool offerer = false;
    TransferRoute route = TransferRoute::direct;
    std::string address = "127.0.0.1";
    RTCIceServer server;
    bool relayOnly = false;
    std::string display; // sync this X display's clipboard when set
};

class TransferPeer : public RTCPeerConnectionDelegate, public std::enable_shared_from_this<TransferPeer> {
public:
    explicit TransferPeer(Settings settings) : settings(std::move(settings)) {}

    bool start() {
        factory = std::make_shared<RTCPeerConnectionFactory>(RTCPeerConnectionFactoryOptions{true, true},
                                                             nullptr, nullptr);
        RTCConfiguration configuration;
        configuration.localAddresses = {settings.address};
        if (!settings.server.urls.empty()) configuration.iceServers = {settings.server};
        if (settings.relayOnly) configuration.iceTransportPolicy = RTCIceTransportPolicy::relay;
        auto created = factory->peerConnection(configuration, weak_from_this());
        if (!created) return false;
        peer = created.value();
        if (!settings.offerer) return true;
        auto channel = peer->createDataChannel("transfer");
        if (!channel) return false;
        adopt(channel.value());
        auto self = shared_from_this();
        peer->createOffer([self](Result<RTCSessionDescription> offer) {
            if (!offer) return emit({{"event", "error"}, {"text", offer.error()}});
            self->peer->setLocalDescription(offer.value(), [offer](Result<void> done) {
                if (done) emit({{"event", "signal"}, {"type", "offer"}, {"sdp", offer.value().sdp}});
            });
        });
        return true;
    }

    // Main thread.
    void handle(const Json& command) {
        std::string name = field::string(command, "cmd").value_or("");
        if (name == "signal") return signal(command);
        if (name == "memory") return emit({{"event", "memory"}, {"figures", memory()}});
        if (name == "decide") {
            acceptOffers = field::boolean(command, "accept").value_or(true);
            return;
        }
        if (!link) return emit({{"event", "error"}, {"text", "no link"}});
        if (name == "send") {
            std::vector<std::filesystem::path> files;
            if (const Json* list = field::array(command, "files"))
                for (const auto& file : *list)
                    if (file.is_string()) files.push_back(file.get<std::string>());
            link->sendFiles(files);
        } else if (name == "hello") {
            link->sendHello(field::boolean(command, "enabled").value_or(true));
        } else if (name == "clip") {
            link->sendClipboardText(field::string(command, "text").value_or(""));
        } else if (name == "image") {
            link->sendClipboardImage(
                base64Decode(field::string(command, "png").value_or("")).value_or(Bytes{}), [](bool stored) {
                    emit({{"event", "image-sent"}, {"ok", stored}});
                });
        } else if (name == "raw") {
            // Bypasses the link: a misbehaving peer.
            bool binary = field::boolean(command, "binary").value_or(false);
            std::string data = field::string(command, "data").value_or("");
            bool sent = channel->send(binary ? base64Decode(data).value_or(Bytes{}) : toBytes(data), binary);
            emit({{"event", "raw-sent"}, {"ok", sent}});
        } else if (name == "close") {
            link->close();
        }
    }

    void close() {
        if (link) link->close();
        if (peer) peer->close();
    }

    void peerConnectionDidGenerateCandidate(RTCPeerConnection&, const RTCIceCandidate& candidate) override {
        emit({{"event", "signal"},
              {"type", "ice"},
              {"candidate", candidate.sdp},
              {"sdp_mid", candidate.sdpMid.value_or("")},
              {"sdp_mline_index", candidate.sdpMLineIndex}});
    }
    void peerConnectionDidChangeConnectionState(RTCPeerConnection&, RTCPeerConnectionState state) override {
        emit({{"event", "peer-state"}, {"state", static_cast<int>(state)}});
    }
    void peerConnectionDidOpenDataChannel(RTCPeerConnection&,
                                          std::shared_ptr<RTCDataChannel> channel) override {
        mainQueue().post([self = shared_from_this(), channel] { self->adopt(channel); });
    }

private:
    // Main thread.
    void adopt(const std::shared_ptr<RTCDataChannel>& dataChannel) {
        channel = std::make_shared<TappedChannel>(RTCTransferChannel::wrap(dataChannel));
        channel->attach();
        link = MacTransferLink::create(channel);
        link->route.set([route = settings.route] { return route; });
        link->onOpen = [] { emit({{"event", "open"}}); };
        link->onClose = [] { emit({{"event", "link-closed"}}); };
        link->onHello = [](bool enabled) { emit({{"event", "hello"}, {"enabled", enabled}}); };
        link->onClipboard = [](std::string text) {
            emit({{"event", "clip"}, {"bytes", text.size()}, {"sha256", hexEncode(crypto::sha256(text))}});
        };
        link->onClipboardImage = [](Bytes png) { emit({{"event", "image"}, {"png", base64Encode(png)}}); };
        link->onOffer = [this](MacTransferLink::Offer offer, std::function<void(bool)> decide) {
            emit({{"event", "offer"}, {"name", offer.name}, {"size", offer.size}});
            decide(acceptOffers);
        };
        link->onProgress = [](std::optional<TransferProgress> progress) {
            if (progress)
                emit({{"event", "progress"},
                      {"incoming", progress->incoming},
                      {"done", progress->done},
                      {"total", progress->total}});
        };
        link->onReceived = [](std::filesystem::path file) {
            emit({{"event", "received"}, {"path", file.string()}});
        };
        link->onSent = [](std::string name) { emit({{"event", "sent"}, {"name", name}}); };
        link->onRemoteFiles = [](std::vector<RemoteFile> files) {
            emit({{"event", "remote-files"}, {"count", files.size()}});
        };
        link->onError = [](std::string text) { emit({{"event", "transfer-error"}, {"text", text}}); };
        if (!settings.display.empty()) syncClipboard();
        // The sharing side learns of an open channel by being given it.
        if (channel->readyState() == RTCDataChannelState::open) {
            emit({{"event", "open"}});
            if (watcher) watcher->start();
        }
    }

    // Both clipboards in step: what is copied here goes to the peer, what the peer sends is
    // written here without coming back.
    void syncClipboard() {
        auto clipboard = X11Clipboard::open(settings.display);
        if (!clipboard) return emit({{"event", "error"}, {"text", "no clipboard"}});
        watcher = MacClipboardWatcher::create(clipboard);
        std::weak_ptr<MacTransferLink> weakLink = link;
        watcher->onText = [weakLink](std::string text) {
            if (auto current = weakLink.lock()) current->sendClipboardText(text);
        };
        watcher->onImage = [weakLink](Bytes png) {
            if (auto current = weakLink.lock()) current->sendClipboardImage(png, {});
        };
        auto previousOpen = link->onOpen;
        link->onOpen = [this, previousOpen] {
            previousOpen();
            watcher->start();
        };
        auto previousClip = link->onClipboard;
        link->onClipboard = [this, previousClip](std::string text) {
            previousClip(text);
            watcher->writeText(text);
        };
        link->onClipboardImage = [this](Bytes png) {
            emit({{"event", "image"}, {"png", base64Encode(png)}});
            watcher->writeImage(png);
        };
    }

    void signal(const Json& message) {
        std::string type = field::string(message, "type").value_or("");
        auto self = shared_from_this();
        if (type == "offer") {
            peer->setRemoteDescription(
                {RTCSdpType::offer, field::string(message, "sdp").value_or("")}, [self](Result<void> done) {
                    if (!done) return emit({{"event", "error"}, {"text", done.error()}});
                    self->early.remoteApplied(self->peer);
                    self->peer->createAnswer([self](Result<RTCSessionDescription> answer) {
                        if (!answer) return;
                        self->peer->setLocalDescription(answer.value(), [answer](Result<void> done) {
                            if (done)
                                emit({{"event", "signal"}, {"type", "answer"}, {"sdp", answer.value().sdp}});
                        });
                    });
                });
        } else if (type == "answer") {
            peer->setRemoteDescription({RTCSdpType::answer, field::string(message, "sdp").value_or("")},
                                       [self](Result<void> done) {
                                           if (done) self->early.remoteApplied(self->peer);
                                       });
        } else if (type == "ice") {
            early.add(peer,
                      {field::string(message, "candidate").value_or(""), field::string(message, "sdp_mid"),
                       field::int32(message, "sdp_mline_index").value_or(0)});
        }
    }

    Settings settings;
    std::shared_ptr<RTCPeerConnectionFactory> factory;
    std::shared_ptr<RTCPeerConnection> peer;
    std::shared_ptr<TappedChannel> channel;
    std::shared_ptr<MacTransferLink> link;
    std::shared_ptr<MacClipboardWatcher> watcher;
    quorlinth::testing::EarlyCandidates early;
    bool acceptOffers = true;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: transfer_test_peer offerer|answerer --downloads DIR [--route R] ...\n";
        return 2;
    }
    Settings settings;
    settings.offerer = std::strcmp(argv[1], "offerer") == 0;
    for (int index = 2; index < argc; ++index) {
        std::string flag = argv[index];
        if (flag == "--relay-only") {
            settings.relayOnly = true;
            continue;
        }
        if (index + 1 == argc) break;
        std::string value = argv[++index];
        if (flag == "--downloads")
            setenv("XDG_DOWNLOAD_DIR", value.c_str(), 1);
        else if (flag == "--route")
            settings.route = value == "relay"     ? TransferRoute::relay
                             : value == "unknown" ? TransferRoute::unknown
                                                  : TransferRoute::direct;
        else if (flag == "--address")
            settings.address = value;
        else if (flag == "--ice-url")
            settings.server.urls.push_back(value);
        else if (flag == "--username")
            settings.server.username = value;
        else if (flag == "--credential")
            settings.server.credential = value;
        else if (flag == "--display")
            settings.display = value;
    }
    if (auto ready = RTCPeerConnectionFactory::initialize(); !ready) {
        emit({{"event", "error"}, {"text", ready.error()}});
        return 1;
    }
    RunLoop loop;
    installMainQueue(&loop);
    auto peer = std::make_shared<TransferPeer>(settings);
    if (!peer->start()) return 1;
    emit({{"event", "started"}});
    std::thread reader([&loop, peer] {
        std::string line;
        while (std::getline(std::cin, line)) {
            auto command = parseJsonObject(line);
            if (!command) continue;
            if (field::string(*command, "cmd").value_or("") == "quit") break;
            loop.post([peer, command = *command] { peer->handle(command); });
        }
        loop.quit();
    });
    loop.run();
    reader.join();
    peer->close();
    loop.runFor(std::chrono::milliseconds(200));
    emit({{"event", "closed"}});
    return 0;
}
