// One side of a WebRTC session for the engine's integration tests, driven as a child process:
// JSON commands arrive one per line on stdin, JSON events leave one per line on stdout.
//   rtc_test_peer offerer|answerer [--consent-ms N] [--level-raised] [--address A]
//                 [--ice-url URL]... [--username U] [--credential C] [--relay-only]
// The offerer is the receiving controller (receive-only video, channels "control" and
// "transfer"); the answerer is the sharing host (send-only video, accepts the channels).

#include "EarlyCandidates.h"
#include "base/Encoding.h"
#include "base/Json.h"
#include "rtc/RTCFactory.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

using namespace quorlinth;

namespace {

std::mutex outputMutex;

void emit(Json event) {
    std::lock_guard lock(outputMutex);
    std::cout << event.dump() << std::endl;
}

// Moving content: a gradient shifted per frame plus a solid block whose colour the receiver
// reports back, so channel order errors show.
void paint(std::vector<uint8_t>& pixels, int width, int height, int frame) {
    for (int y = 0; y < height; ++y) {
        uint8_t* row = pixels.data() + static_cast<size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x) {
            row[x * 4 + 0] = static_cast<uint8_t>((x + frame * 8) & 0xff);
            row[x * 4 + 1] = static_cast<uint8_t>((y + frame * 4) & 0xff);
            row[x * 4 + 2] = static_cast<uint8_t>((x ^ y) & 0x3f);
            row[x * 4 + 3] = 0xff;
        }
    }
    // Centre block: pure blue (B, G, R, A = 255, 0, 0, 255).
    for (int y = height / 2 - height / 8; y < height / 2 + height / 8; ++y)
        for (int x = width / 2 - width / 8; x < width / 2 + width / 8; ++x) {
            uint8_t* pixel = pixels.data() + (static_cast<size_t>(y) * width + x) * 4;
            pixel[0] = 255, pixel[1] = 0, pixel[2] = 0, pixel[3] = 255;
        }
}

class TestPeer : public RTCPeerConnectionDelegate,
                 public RTCDataChannelDelegate,
                 public RTCVideoRenderer,
                 public std::enable_shared_from_this<TestPeer> {
public:
    TestPeer(bool offerer, std::chrono::milliseconds consent, bool levelRaised, std::string address,
             std::vector<RTCIceServer> iceServers, bool relayOnly)
        : offerer(offerer), consent(consent), levelRaised(levelRaised), address(std::move(address)),
          iceServers(std::move(iceServers)), relayOnly(relayOnly) {}

    bool start() {
        factory = std::make_shared<RTCPeerConnectionFactory>(RTCPeerConnectionFactoryOptions{true, true},
                                                             nullptr, nullptr);
        RTCConfiguration configuration;
        configuration.localAddresses = {address};
        configuration.iceServers = iceServers;
        if (relayOnly) configuration.iceTransportPolicy = RTCIceTransportPolicy::relay;
        configuration.consentTimeout = consent;
        auto created = factory->peerConnection(configuration, weak_from_this());
        if (!created) {
            emit({{"event", "error"}, {"text", created.error()}});
            return false;
        }
        peer = created.value();
        if (offerer) return startOfferer();
        source = factory->videoSource();
        auto added = peer->addVideoSender(source);
        if (!added) return false;
        sender = added.value();
        return true;
    }

    void handle(const Json& command) {
        std::string name = field::string(command, "cmd").value_or("");
        if (name == "signal")
            signal(command);
        else if (name == "push")
            push(command);
        else if (name == "send")
            send(command);
        else if (name == "flood")
            flood(command);
        else if (name == "stats")
            stats();
        else if (name == "encoding")
            encoding(command);
    }

    void stopPushing() {
        pushing = false;
        if (pusher.joinable()) pusher.join();
    }

    void close() {
        stopPushing();
        if (peer) peer->close();
    }

    // RTCPeerConnectionDelegate
    void peerConnectionDidGenerateCandidate(RTCPeerConnection&, const RTCIceCandidate& candidate) override {
        emit({{"event", "signal"},
              {"type", "ice"},
              {"candidate", candidate.sdp},
              {"sdp_mid", candidate.sdpMid.value_or("")},
              {"sdp_mline_index", candidate.sdpMLineIndex}});
    }
    void peerConnectionDidChangeIceConnectionState(RTCPeerConnection&, RTCIceConnectionState state) override {
        emit({{"event", "ice-state"}, {"state", static_cast<int>(state)}});
    }
    void peerConnectionDidChangeConnectionState(RTCPeerConnection&, RTCPeerConnectionState state) override {
        emit({{"event", "peer-state"}, {"state", static_cast<int>(state)}});
    }
    void peerConnectionDidOpenDataChannel(RTCPeerConnection&,
                                          std::shared_ptr<RTCDataChannel> channel) override {
        adopt(channel);
        emit({{"event", "remote-channel"}, {"label", channel->label()}});
    }
    void peerConnectionDidAddVideoTrack(RTCPeerConnection&) override { emit({{"event", "video-track"}}); }
    void peerConnectionDidFailGathering(RTCPeerConnection&, const RTCIceGatheringError& error) override {
        emit({{"event", "gathering-error"}, {"url", error.url}, {"code", error.errorCode}});
    }

    // RTCDataChannelDelegate
    void dataChannelDidChangeState(RTCDataChannel& channel) override {
        emit({{"event", "channel-state"},
              {"label", channel.label()},
              {"state", static_cast<int>(channel.readyState())}});
    }
    void dataChannelDidReceiveMessage(RTCDataChannel& channel, const Bytes& data, bool binary) override {
        emit({{"event", "message"},
              {"label", channel.label()},
              {"binary", binary},
              {"data", binary ? base64Encode(data) : toString(data)}});
    }
    void dataChannelDidReachBufferedAmountLow(RTCDataChannel& channel) override {
        emit({{"event", "buffered-low"}, {"label", channel.label()}, {"amount", channel.bufferedAmount()}});
    }

    // RTCVideoRenderer: the decoding thread.
    void renderFrame(const RTCVideoFrame& frame) override {
        uint64_t count = ++framesRendered;
        if (frame.width == lastWidth && frame.height == lastHeight && count % 30 != 0) return;
        lastWidth = frame.width;
        lastHeight = frame.height;
        const uint8_t* centre =
            frame.bgra->data() + (static_cast<size_t>(frame.height / 2) * frame.stride + frame.width / 2 * 4);
        emit({{"event", "frame"},
              {"width", frame.width},
              {"height", frame.height},
              {"count", count},
              {"centre", {centre[0], centre[1], centre[2], centre[3]}}});
    }

private:
    bool startOfferer() {
        auto codecs = factory->videoReceiverCapabilities();
        if (levelRaised)
            for (auto& codec : codecs)
                codec.parameters["profile-level-id"] =
                    codec.parameters["profile-level-id"].substr(0, 4) + "33";
        if (!peer->addReceiveOnlyVideoTransceiver(codecs)) return false;
        peer->setVideoRenderer(weak_from_this());
        for (const char* label : {"control", "transfer"}) {
            auto channel = peer->createDataChannel(label);
            if (!channel) return false;
            adopt(channel.value());
        }
        auto self = shared_from_this();
        peer->createOffer([self](Result<RTCSessionDescription> offer) {
            if (!offer) return emit({{"event", "error"}, {"text", offer.error()}});
            self->peer->setLocalDescription(offer.value(), [self, offer](Result<void> done) {
                if (!done) return emit({{"event", "error"}, {"text", done.error()}});
                emit({{"event", "signal"}, {"type", "offer"}, {"sdp", offer.value().sdp}});
            });
        });
        return true;
    }

    void adopt(const std::shared_ptr<RTCDataChannel>& channel) {
        channel->setDelegate(weak_from_this());
        std::lock_guard lock(mutex);
        channels[channel->label()] = channel;
    }

    std::shared_ptr<RTCDataChannel> channelNamed(const std::string& label) {
        std::lock_guard lock(mutex);
        auto found = channels.find(label);
        return found == channels.end() ? nullptr : found->second;
    }

    void signal(const Json& message) {
        std::string type = field::string(message, "type").value_or("");
        auto self = shared_from_this();
        if (type == "offer") {
            peer->setRemoteDescription(
                {RTCSdpType::offer, field::string(message, "sdp").value_or("")}, [self](Result<void> done) {
                    if (!done) return emit({{"event", "error"}, {"text", done.error()}});
                    self->remoteApplied();
                    self->peer->createAnswer([self](Result<RTCSessionDescription> answer) {
                        if (!answer) return emit({{"event", "error"}, {"text", answer.error()}});
                        self->peer->setLocalDescription(answer.value(), [answer](Result<void> done) {
                            if (!done) return emit({{"event", "error"}, {"text", done.error()}});
                            emit({{"event", "signal"}, {"type", "answer"}, {"sdp", answer.value().sdp}});
                        });
                    });
                });
        } else if (type == "answer") {
            peer->setRemoteDescription({RTCSdpType::answer, field::string(message, "sdp").value_or("")},
                                       [self](Result<void> done) {
                                           if (!done)
                                               return emit({{"event", "error"}, {"text", done.error()}});
                                           self->remoteApplied();
                                       });
        } else if (type == "ice") {
            early.add(peer,
                      {field::string(message, "candidate").value_or(""), field::string(message, "sdp_mid"),
                       field::int32(message, "sdp_mline_index").value_or(0)});
        }
    }

    void remoteApplied() { early.remoteApplied(peer); }

    void push(const Json& command) {
        stopPushing();
        int width = field::int32(command, "width").value_or(1920);
        int height = field::int32(command, "height").value_or(1080);
        int fps = field::int32(command, "fps").value_or(30);
        auto adaptWidth = field::int32(command, "adapt_width");
        auto adaptHeight = field::int32(command, "adapt_height");
        std::optional<RTCVideoSource::Size> adapted;
        if (adaptWidth && adaptHeight) adapted = RTCVideoSource::Size{*adaptWidth, *adaptHeight};
        pushing = true;
        pusher = std::thread([this, width, height, fps, adapted] {
            std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
            auto period = std::chrono::nanoseconds(1'000'000'000 / fps);
            auto next = std::chrono::steady_clock::now();
            for (int frame = 0; pushing; ++frame) {
                paint(pixels, width, height, frame);
                auto now = std::chrono::steady_clock::now();
                source->pushFrame(pixels.data(), width, height, width * 4, now.time_since_epoch().count(),
                                  adapted);
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }

    void send(const Json& command) {
        auto channel = channelNamed(field::string(command, "label").value_or(""));
        bool binary = field::boolean(command, "binary").value_or(false);
        std::string data = field::string(command, "data").value_or("");
        bool sent = false;
        if (channel)
            sent =
                binary ? channel->sendBinary(base64Decode(data).value_or(Bytes{})) : channel->sendText(data);
        emit({{"event", "sent"}, {"ok", sent}});
    }

    // Sends `count` binary messages of `size` bytes at once and reports the buffered amounts
    // seen right after the last one.
    void flood(const Json& command) {
        auto channel = channelNamed(field::string(command, "label").value_or(""));
        int count = field::int32(command, "count").value_or(64);
        int size = field::int32(command, "size").value_or(60000);
        if (!channel) return emit({{"event", "flooded"}, {"ok", false}});
        channel->setBufferedAmountLowThreshold(field::int64(command, "low").value_or(0));
        Bytes chunk(static_cast<size_t>(size), 0x5a);
        bool ok = true;
        uint64_t peak = 0;
        for (int index = 0; index < count; ++index) {
            ok = channel->sendBinary(chunk) && ok;
            peak = std::max(peak, channel->bufferedAmount());
        }
        bool tooLarge = channel->sendBinary(Bytes(RTCDataChannel::kMaxMessageSize + 1, 1));
        emit({{"event", "flooded"},
              {"ok", ok},
              {"peak", peak},
              {"after", channel->bufferedAmount()},
              {"oversize_sent", tooLarge}});
    }

    void stats() {
        peer->statistics([](RTCStatisticsReport report) {
            Json entries = Json::object();
            for (const auto& [id, entry] : report) {
                Json values = entry.values;
                values["type"] = entry.type;
                entries[id] = values;
            }
            emit({{"event", "stats"}, {"report", entries}});
        });
    }

    void encoding(const Json& command) {
        RTCRtpParameters parameters = sender->parameters();
        parameters.degradationPreference = RTCDegradationPreference::maintainResolution;
        parameters.encodings.front().maxBitrateBps = field::int64(command, "max_bitrate");
        parameters.encodings.front().minBitrateBps = field::int64(command, "min_bitrate");
        if (auto fps = field::number(command, "max_framerate"))
            parameters.encodings.front().maxFramerate = *fps;
        auto applied = sender->setParameters(parameters);
        emit({{"event", "encoding"}, {"ok", applied.ok()}});
    }

    bool offerer;
    std::chrono::milliseconds consent;
    bool levelRaised;
    std::string address;
    std::vector<RTCIceServer> iceServers;
    bool relayOnly;
    std::shared_ptr<RTCPeerConnectionFactory> factory;
    std::shared_ptr<RTCPeerConnection> peer;
    std::shared_ptr<RTCVideoSource> source;
    std::shared_ptr<RTCRtpSender> sender;
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<RTCDataChannel>> channels;
    quorlinth::testing::EarlyCandidates early;
    std::atomic<bool> pushing{false};
    std::thread pusher;
    std::atomic<uint64_t> framesRendered{0};
    int lastWidth = 0, lastHeight = 0;
};

// Threads the engine started (it names them after its webrtcbin elements): none may outlive a
// closed peer connection.
int engineThreads() {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return -1;
    while (dirent* entry = readdir(tasks)) {
        std::string name;
        std::getline(std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm"), name);
        if (name.rfind("webrtcbin", 0) == 0) ++count;
    }
    closedir(tasks);
    return count;
}

// The engine's threads once they had time to end: the engine stops its own thread by waiting
// for its loop to finish, not for the thread, which may still be on its way out (for long under
// ASan). One that is still there after seconds was left running.
int engineThreadsAfterClose() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int count = engineThreads();
    while (count > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = engineThreads();
    }
    return count;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr
            << "usage: rtc_test_peer offerer|answerer [--consent-ms N] [--level-raised] [--address A]\n";
        return 2;
    }
    bool offerer = std::strcmp(argv[1], "offerer") == 0;
    std::chrono::milliseconds consent{30000};
    bool levelRaised = false;
    std::string address = "127.0.0.1"; // the address ICE gathers on
    RTCIceServer server;
    bool relayOnly = false;
    for (int index = 2; index < argc; ++index) {
        if (std::strcmp(argv[index], "--consent-ms") == 0 && index + 1 < argc)
            consent = std::chrono::milliseconds(std::atoi(argv[++index]));
        else if (std::strcmp(argv[index], "--level-raised") == 0)
            levelRaised = true;
        else if (std::strcmp(argv[index], "--address") == 0 && index + 1 < argc)
            address = argv[++index];
        else if (std::strcmp(argv[index], "--ice-url") == 0 && index + 1 < argc)
            server.urls.push_back(argv[++index]);
        else if (std::strcmp(argv[index], "--username") == 0 && index + 1 < argc)
            server.username = argv[++index];
        else if (std::strcmp(argv[index], "--credential") == 0 && index + 1 < argc)
            server.credential = argv[++index];
        else if (std::strcmp(argv[index], "--relay-only") == 0)
            relayOnly = true;
    }
    if (auto ready = RTCPeerConnectionFactory::initialize(); !ready) {
        emit({{"event", "error"}, {"text", ready.error()}});
        return 1;
    }
    auto peer = std::make_shared<TestPeer>(
        offerer, consent, levelRaised, address,
        server.urls.empty() ? std::vector<RTCIceServer>{} : std::vector<RTCIceServer>{server}, relayOnly);
    if (!peer->start()) return 1;
    emit({{"event", "started"}});
    std::string line;
    while (std::getline(std::cin, line)) {
        auto command = parseJsonObject(line);
        if (!command) continue;
        if (field::string(*command, "cmd").value_or("") == "quit") break;
        peer->handle(*command);
    }
    peer->close();
    emit({{"event", "closed"}, {"engine_threads", engineThreadsAfterClose()}});
    return 0;
}
