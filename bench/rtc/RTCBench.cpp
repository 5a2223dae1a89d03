// Push → decoded benchmark of the WebRTC engine: 1920×1080 BGRA frames with moving content go
// through conversion, H.264 encoding, loopback inside a private network namespace and decoding,
// with sender and receiver in separate processes. Prints `name value unit` lines.
//   rtc_bench [--seconds N] [--fps 30,60]

#include "EarlyCandidates.h"
#include "Netns.h"
#include "ProcessUsage.h"
#include "base/Json.h"
#include "rtc/RTCFactory.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace quorlinth;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kIndexBits = 16;
constexpr int kBlock = 64;
constexpr int64_t kBitrate = 12'000'000;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Signaling between the two roles: JSON lines over a socket.
class LineChannel {
public:
    explicit LineChannel(int fd) : fd(fd) {}
    void send(const Json& message) {
        std::string line = message.dump() + "\n";
        std::lock_guard lock(writeMutex);
        for (size_t sent = 0; sent < line.size();) {
            ssize_t count = write(fd, line.data() + sent, line.size() - sent);
            if (count <= 0) return;
            sent += static_cast<size_t>(count);
        }
    }
    std::optional<Json> receive() {
        for (;;) {
            auto newline = buffer.find('\n');
            if (newline != std::string::npos) {
                auto message = parseJsonObject(std::string_view(buffer).substr(0, newline));
                buffer.erase(0, newline + 1);
                if (message) return message;
                continue;
            }
            char chunk[65536];
            ssize_t count = read(fd, chunk, sizeof chunk);
            if (count <= 0) return std::nullopt;
            buffer.append(chunk, static_cast<size_t>(count));
        }
    }

private:
    int fd;
    std::mutex writeMutex;
    std::string buffer;
};

// Moving content: a detailed texture larger than the frame, scrolled diagonally.
class MovingContent {
public:
    MovingContent() : texture(static_cast<size_t>(kWidth + 512) * (kHeight + 512) * 4) {
        uint32_t seed = 12345;
        for (size_t index = 0; index < texture.size(); index += 4) {
            seed = seed * 1664525 + 1013904223;
            size_t pixel = index / 4;
            int x = static_cast<int>(pixel % (kWidth + 512)), y = static_cast<int>(pixel / (kWidth + 512));
            // Text-like detail: stripes, gradients and some noise.
            texture[index] = static_cast<uint8_t>(((x / 7) % 2 ? 230 : 40) ^ (seed >> 28));
            texture[index + 1] = static_cast<uint8_t>((y * 3 + x) & 0xff);
            texture[index + 2] = static_cast<uint8_t>(((y / 11) % 3) * 90);
            texture[index + 3] = 255;
        }
    }
    void paint(std::vector<uint8_t>& frame, int index) const {
        int offset = (index * 4) % 512;
        size_t textureStride = static_cast<size_t>(kWidth + 512) * 4;
        for (int y = 0; y < kHeight; ++y)
            std::memcpy(frame.data() + static_cast<size_t>(y) * kWidth * 4,
                        texture.data() + (y + offset) * textureStride + offset * 4,
                        static_cast<size_t>(kWidth) * 4);
        for (int bit = 0; bit < kIndexBits; ++bit) {
            uint8_t value = (index >> bit) & 1 ? 255 : 0;
            for (int y = 0; y < kBlock; ++y)
                std::memset(frame.data() + (static_cast<size_t>(y) * kWidth + bit * kBlock) * 4, value,
                            kBlock * 4);
        }
    }

private:
    std::vector<uint8_t> texture;
};

int readIndex(const RTCVideoFrame& frame) {
    if (frame.width < kIndexBits * kBlock || frame.height < kBlock) return -1;
    int index = 0;
    for (int bit = 0; bit < kIndexBits; ++bit) {
        const uint8_t* pixel = frame.bgra->data() + static_cast<size_t>(kBlock / 2) * frame.stride +
                               (bit * kBlock + kBlock / 2) * 4;
        if (pixel[1] > 128) index |= 1 << bit;
    }
    return index;
}

struct Role : RTCPeerConnectionDelegate, RTCVideoRenderer, std::enable_shared_from_this<Role> {
    Role(LineChannel& signal) : signal(signal) {}

    void peerConnectionDidGenerateCandidate(RTCPeerConnection&, const RTCIceCandidate& candidate) override {
        signal.send(
            {{"type", "ice"}, {"candidate", candidate.sdp}, {"sdp_mline_index", candidate.sdpMLineIndex}});
    }
    void peerConnectionDidChangeConnectionState(RTCPeerConnection&, RTCPeerConnectionState state) override {
        std::lock_guard lock(mutex);
        connected = state == RTCPeerConnectionState::connected;
        changed.notify_all();
    }
    void renderFrame(const RTCVideoFrame& frame) override {
        int64_t at = nowNs();
        int index = readIndex(frame);
        std::lock_guard lock(mutex);
        ++framesRendered;
        if (index >= 0 && !decoded.count(index)) decoded[index] = at;
    }

    void addCandidate(const Json& message) {
        early.add(peer, {field::string(message, "candidate").value_or(""), std::nullopt,
                         field::int32(message, "sdp_mline_index").value_or(0)});
    }
    void remoteApplied() { early.remoteApplied(peer); }
    bool waitConnected() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return connected; });
    }

    LineChannel& signal;
    std::shared_ptr<RTCPeerConnectionFactory> factory =
        std::make_shared<RTCPeerConnectionFactory>(RTCPeerConnectionFactoryOptions{}, nullptr, nullptr);
    std::shared_ptr<RTCPeerConnection> peer;
    std::mutex mutex;
    std::condition_variable changed;
    bool connected = false;
    quorlinth::testing::EarlyCandidates early;
    std::map<int, int64_t> decoded;
    int framesRendered = 0;
};

RTCConfiguration loopbackConfiguration() {
    RTCConfiguration configuration;
    configuration.localAddresses = {"127.0.0.1"};
    return configuration;
}

int runReceiver(int fd) {
    LineChannel signal(fd);
    auto role = std::make_shared<Role>(signal);
    role->peer = role->factory->peerConnection(loopbackConfiguration(), role).value();
    role->peer->setVideoRenderer(role);
    if (!role->peer->addReceiveOnlyVideoTransceiver(role->factory->videoReceiverCapabilities())) return 1;
    role->peer->createOffer([role](Result<RTCSessionDescription> offer) {
        role->peer->setLocalDescription(offer.value(), [role, offer](Result<void>) {
            role->signal.send({{"type", "offer"}, {"sdp", offer.value().sdp}});
        });
    });
    while (auto message = signal.receive()) {
        std::string type = field::string(*message, "type").value_or("");
        if (type == "answer") {
            role->peer->setRemoteDescription(
                {RTCSdpType::answer, field::string(*message, "sdp").value_or("")},
                [role](Result<void>) { role->remoteApplied(); });
        } else if (type == "ice") {
            role->addCandidate(*message);
        } else if (type == "done") {
            break;
        }
    }
    Json decoded = Json::object();
    {
        std::lock_guard lock(role->mutex);
        for (auto& [index, at] : role->decoded)
            decoded[std::to_string(index)] = at;
    }
    double cpu = processCpuSeconds();
    // The namespace's own UDP counters: receive-buffer overflows are lost packets.
    std::string udpErrors;
    if (FILE* snmp = fopen("/proc/net/snmp", "r")) {
        char line[1024];
        while (fgets(line, sizeof line, snmp))
            if (std::strncmp(line, "Udp: ", 5) == 0) udpErrors = line;
        fclose(snmp);
    }
    // Columns: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors ...
    double receiveBufferErrors = -1;
    {
        std::istringstream columns(udpErrors.size() > 5 ? udpErrors.substr(5) : "");
        double value;
        for (int column = 0; column < 5 && columns >> value; ++column)
            receiveBufferErrors = column == 4 ? value : -1;
    }
    int rendered;
    {
        std::lock_guard lock(role->mutex);
        rendered = role->framesRendered;
    }
    role->peer->close();
    std::cout << Json{{"decoded", decoded},
                      {"rendered", rendered},
                      {"udp_receive_buffer_errors", receiveBufferErrors},
                      {"cpu", cpu},
                      {"rss_kib", peakRssKiB()}}
                     .dump()
              << std::endl;
    return 0;
}

int runSender(int fd, int fps, int seconds) {
    LineChannel signal(fd);
    auto role = std::make_shared<Role>(signal);
    role->peer = role->factory->peerConnection(loopbackConfiguration(), role).value();
    auto source = role->factory->videoSource();
    auto sender = role->peer->addVideoSender(source).value();
    std::thread reader([&] {
        while (auto message = signal.receive()) {
            std::string type = field::string(*message, "type").value_or("");
            if (type == "offer") {
                role->peer->setRemoteDescription(
                    {RTCSdpType::offer, field::string(*message, "sdp").value_or("")}, [role](Result<void>) {
                        role->remoteApplied();
                        role->peer->createAnswer([role](Result<RTCSessionDescription> answer) {
                            role->peer->setLocalDescription(answer.value(), [role, answer](Result<void>) {
                                role->signal.send({{"type", "answer"}, {"sdp", answer.value().sdp}});
                            });
                        });
                    });
            } else if (type == "ice") {
                role->addCandidate(*message);
            }
        }
    });
    if (!role->waitConnected()) {
        std::cerr << "not connected\n";
        _exit(1);
    }
    RTCRtpParameters parameters = sender->parameters();
    parameters.encodings.front().maxBitrateBps = kBitrate;
    parameters.encodings.front().maxFramerate = fps;
    parameters.degradationPreference = RTCDegradationPreference::maintainResolution;
    (void)sender->setParameters(parameters);

    MovingContent content;
    std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 4);
    Json pushed = Json::object();
    double paintingCpu = 0;
    double cpuBefore = processCpuSeconds();
    auto period = std::chrono::nanoseconds(1'000'000'000 / fps);
    auto next = std::chrono::steady_clock::now();
    int total = fps * seconds;
    for (int index = 0; index < total; ++index) {
        double paintStart = bench::threadCpuSeconds();
        content.paint(frame, index);
        paintingCpu += bench::threadCpuSeconds() - paintStart;
        int64_t at = nowNs();
        if (source->pushFrame(frame.data(), kWidth, kHeight, kWidth * 4, at))
            pushed[std::to_string(index)] = at;
        next += period;
        std::this_thread::sleep_until(next);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double cpu = processCpuSeconds() - cpuBefore - paintingCpu;
    std::mutex statsMutex;
    std::condition_variable statsReady;
    std::optional<double> bytesSent;
    double framesEncoded = 0;
    role->peer->statistics([&](RTCStatisticsReport report) {
        std::lock_guard lock(statsMutex);
        bytesSent = 0;
        for (auto& [id, entry] : report) {
            if (entry.type != "outbound-rtp") continue;
            bytesSent = field::number(entry.values, "bytesSent").value_or(0);
            framesEncoded = field::number(entry.values, "framesEncoded").value_or(0);
        }
        statsReady.notify_all();
    });
    {
        std::unique_lock lock(statsMutex);
        statsReady.wait_for(lock, std::chrono::seconds(5), [&] { return bytesSent.has_value(); });
    }
    signal.send({{"type", "done"}});
    shutdown(fd, SHUT_WR);
    reader.join();
    role->peer->close();
    std::lock_guard lock(statsMutex);
    std::cout << Json{{"pushed", pushed},
                      {"cpu", cpu},
                      {"bytes", bytesSent.value_or(0)},
                      {"encoded", framesEncoded},
                      {"rss_kib", peakRssKiB()}}
                     .dump()
              << std::endl;
    return 0;
}

struct Child {
    pid_t pid;
    int output;
};

Child spawnRole(const char* self, const std::string& role, int fd, int fps, int seconds) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {-1, -1};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        // Only the role's own end of the signaling pair stays open, so the ends see EOF.
        for (int other = 3; other < 1024; ++other)
            if (other != fd) close(other);
        std::string fdText = std::to_string(fd), fpsText = std::to_string(fps),
                    secondsText = std::to_string(seconds);
        execl(self, self, "--role", role.c_str(), fdText.c_str(), fpsText.c_str(), secondsText.c_str(),
              nullptr);
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

std::optional<Json> collect(Child child) {
    std::string text;
    char chunk[65536];
    ssize_t count;
    while ((count = read(child.output, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(count));
    close(child.output);
    int status = 0;
    waitpid(child.pid, &status, 0);
    auto newline = text.rfind('\n', text.size() > 1 ? text.size() - 2 : 0);
    return parseJsonObject(newline == std::string::npos ? text : text.substr(newline + 1));
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(fraction * (values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void print(const std::string& name, double value, const char* unit) {
    std::printf("%s %.4g %s\n", name.c_str(), value, unit);
}

bool runOnce(const char* self, int fps, int seconds) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return false;
    Child sender = spawnRole(self, "sender", pair[0], fps, seconds);
    Child receiver = spawnRole(self, "receiver", pair[1], fps, seconds);
    close(pair[0]);
    close(pair[1]);
    auto sent = collect(sender);
    auto received = collect(receiver);
    if (!sent || !received) {
        std::fprintf(stderr, "a role failed\n");
        return false;
    }
    std::vector<double> latencies;
    const Json& pushed = (*sent)["pushed"];
    const Json& decoded = (*received)["decoded"];
    int64_t first = INT64_MAX, last = 0;
    for (auto& [index, at] : decoded.items()) {
        first = std::min(first, at.get<int64_t>());
        last = std::max(last, at.get<int64_t>());
        if (pushed.contains(index))
            latencies.push_back((at.get<int64_t>() - pushed[index].get<int64_t>()) / 1e6);
    }
    std::string prefix = "rtc.1080p" + std::to_string(fps) + ".";
    double pushedCount = static_cast<double>(pushed.size());
    double decodedCount = static_cast<double>(latencies.size());
    double span = last > first ? (last - first) / 1e9 : 1;
    print(prefix + "latency_p50", percentile(latencies, 0.5), "ms");
    print(prefix + "latency_p95", percentile(latencies, 0.95), "ms");
    print(prefix + "fps", decodedCount > 1 ? (decodedCount - 1) / span : 0, "fps");
    print(prefix + "frames_pushed", pushedCount, "frames");
    print(prefix + "frames_encoded", field::number(*sent, "encoded").value_or(0), "frames");
    print(prefix + "frames_decoded", decodedCount, "frames");
    print(prefix + "frames_rendered", field::number(*received, "rendered").value_or(0), "frames");
    print(prefix + "udp_receive_buffer_errors",
          field::number(*received, "udp_receive_buffer_errors").value_or(-1), "datagrams");
    print(prefix + "frames_dropped", pushedCount - decodedCount, "frames");
    print(prefix + "sender_cpu_per_frame",
          field::number(*sent, "cpu").value_or(0) / std::max(pushedCount, 1.0), "s");
    print(prefix + "sender_cpu_load", field::number(*sent, "cpu").value_or(0) / (seconds + 1.0), "cores");
    print(prefix + "receiver_cpu_per_frame",
          field::number(*received, "cpu").value_or(0) / std::max(decodedCount, 1.0), "s");
    print(prefix + "bitrate", field::number(*sent, "bytes").value_or(0) * 8 / seconds / 1e6, "Mbit/s");
    print(prefix + "sender_peak_rss", field::number(*sent, "rss_kib").value_or(0) / 1024, "MiB");
    print(prefix + "receiver_peak_rss", field::number(*received, "rss_kib").value_or(0) / 1024, "MiB");
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "--role") == 0) {
        if (auto ready = RTCPeerConnectionFactory::initialize(); !ready) return 1;
        int fd = std::atoi(argv[3]);
        return std::strcmp(argv[2], "sender") == 0 ? runSender(fd, std::atoi(argv[4]), std::atoi(argv[5]))
                                                   : runReceiver(fd);
    }
    // Everything runs inside a private network namespace.
    if (!std::getenv("QUORLINTH_NETNS"))
        return quorlinth::testing::runInsideNetworkNamespace(argc, argv, QUORLINTH_DEFAULT_SOURCE_DIR);
    int seconds = 20;
    std::vector<int> rates = {30, 60};
    for (int index = 1; index + 1 < argc; ++index) {
        if (std::strcmp(argv[index], "--seconds") == 0)
            seconds = std::max(1, std::atoi(argv[++index]));
        else if (std::strcmp(argv[index], "--fps") == 0) {
            rates.clear();
            std::stringstream list(argv[++index]);
            std::string item;
            while (std::getline(list, item, ','))
                rates.push_back(std::max(1, std::atoi(item.c_str())));
        }
    }
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    self[length] = 0;
    for (int fps : rates)
        if (!runOnce(self, fps, seconds)) return 1;
    return 0;
}
