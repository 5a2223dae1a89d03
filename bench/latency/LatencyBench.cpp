// Glass-to-glass latency benchmark: the probe (latency_probe) draws the wall-clock millisecond on
// the sharing side's display; each mode reads it back from every picture it receives and prints
// `name value unit` lines under "latency.<case>.". bench/latency.sh sets up the display, the
// service, the relay and the sharing host inside a private network namespace and runs the modes.
//   latency_bench cloud --service BASE --device ID --case NAME [--seconds N] [--host-pid P] [--xserver-pid P]
//                       [--host-trace FILE --viewer-trace FILE] [--ice-address A]
//                       [--link-control FIFO --drop-to BPS --drop-after SECONDS] [--paint]
//   latency_bench floor --case NAME [--quality Q] [--relay] [--paced] [--seconds N] [--xserver-pid P]
//   latency_bench vnc   --case NAME --port PORT [--seconds N] [--host-pid P] [--xserver-pid P]
// cloud and vnc expect the probe on the host's display; floor captures DISPLAY itself. With
// --paint, cloud reads each picture once the application's remote view painted it (off screen:
// DISPLAY is the display being shared).

#include "CloudViewer.h"
#include "FloorPipeline.h"
#include "ProcessUsage.h"
#include "StageTrace.h"
#include "VncReader.h"
#include "rtc/RTCFactory.h"

#include <QApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

using namespace quorlinth;
using namespace quorlinth::latency;

namespace {

constexpr double kWarmupSeconds = 2;

struct Arguments {
    std::string mode;
    std::map<std::string, std::string> values;
    bool relay = false;
    bool paced = false;
    bool paint = false;

    std::string text(const std::string& name, const std::string& fallback = "") const {
        auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    }
    long number(const std::string& name, long fallback) const {
        auto found = values.find(name);
        return found == values.end() ? fallback : std::strtol(found->second.c_str(), nullptr, 10);
    }
};

std::optional<Arguments> parse(int argc, char** argv) {
    static const std::set<std::string> kValued = {
        "case",        "seconds",    "service",      "device",      "quality",      "port",    "host-pid",
        "xserver-pid", "host-trace", "viewer-trace", "ice-address", "link-control", "drop-to", "drop-after"};
    if (argc < 2) return std::nullopt;
    Arguments arguments{argv[1], {}};
    for (int index = 2; index < argc; ++index) {
        std::string word = argv[index];
        if (word == "--relay") {
            arguments.relay = true;
        } else if (word == "--paced") {
            arguments.paced = true;
        } else if (word == "--paint") {
            arguments.paint = true;
        } else if (word.rfind("--", 0) == 0 && kValued.count(word.substr(2)) && index + 1 < argc) {
            arguments.values[word.substr(2)] = argv[++index];
        } else {
            return std::nullopt;
        }
    }
    return arguments;
}

// CPU and memory of the sharing side's process, the X server and this process over the window.
struct Usage {
    std::optional<bench::UsageWindow> host, xserver;
    bench::UsageWindow self{getpid()};

    explicit Usage(const Arguments& arguments) {
        if (long pid = arguments.number("host-pid", 0)) host.emplace(pid_t(pid));
        if (long pid = arguments.number("xserver-pid", 0)) xserver.emplace(pid_t(pid));
    }
    void window(bool begin) {
        for (bench::UsageWindow* usage : {host ? &*host : nullptr, xserver ? &*xserver : nullptr, &self})
            if (usage) begin ? usage->begin() : usage->end();
    }
    void print(const std::string& prefix, const std::string& hostName, const std::string& selfName) const {
        if (host) {
            printFigure(prefix + hostName + "_cpu", host->cores(), "cores");
            printFigure(prefix + hostName + "_rss", host->rssMiB(), "MiB");
        }
        printFigure(prefix + selfName + "_cpu", self.cores(), "cores");
        printFigure(prefix + selfName + "_rss", self.rssMiB(), "MiB");
        if (xserver) printFigure(prefix + "xserver_cpu", xserver->cores(), "cores");
    }
};

// Tells the link emulator (its command FIFO) to drop to a lower rate some seconds into the
// recording, and remembers when.
class LinkDrop {
public:
    explicit LinkDrop(const Arguments& arguments)
        : control(arguments.text("link-control")), rate(arguments.text("drop-to")),
          after(double(arguments.number("drop-after", 10))) {}
    ~LinkDrop() {
        if (thread.joinable()) thread.join();
    }
    void recording(bool on) {
        if (!on || control.empty() || rate.empty() || thread.joinable()) return;
        thread = std::thread([this] {
            std::this_thread::sleep_for(std::chrono::duration<double>(after));
            if (std::FILE* fifo = std::fopen(control.c_str(), "w")) {
                std::fprintf(fifo, "{\"rate\": %s}\n", rate.c_str());
                std::fclose(fifo);
                droppedUnixNs = bench::unixNowNs();
            }
        });
    }
    // Seconds from the drop until the latency stayed under `boundMs`; -1 without a drop or a
    // picture after it. A screen that showed nothing new for longer than the bound was that
    // late too.
    double recoverySeconds(const LatencyRecorder::Summary& summary, double boundMs) const {
        if (!droppedUnixNs) return -1;
        int64_t lastOver = droppedUnixNs, previous = droppedUnixNs;
        bool seen = false;
        for (size_t index = 0; index < summary.latenciesMs.size(); ++index) {
            int64_t decoded = summary.decodedUnixNs[index];
            if (decoded < droppedUnixNs) continue;
            seen = true;
            if (summary.latenciesMs[index] >= boundMs || double(decoded - previous) / 1e6 >= boundMs)
                lastOver = decoded;
            previous = decoded;
        }
        return seen ? double(lastOver - droppedUnixNs) / 1e9 : -1;
    }
    bool active() const { return !control.empty() && !rate.empty(); }

private:
    std::string control, rate;
    double after;
    std::thread thread;
    std::atomic<int64_t> droppedUnixNs{0};
};

int runCloud(int& argc, char** argv, const Arguments& arguments, const std::string& prefix, double seconds) {
    std::optional<QApplication> application;
    if (arguments.paint) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        application.emplace(argc, argv);
    }
    if (auto ready = RTCPeerConnectionFactory::initialize(); !ready) {
        std::fprintf(stderr, "latency_bench: %s\n", ready.error().c_str());
        return 1;
    }
    LatencyRecorder recorder;
    Usage usage(arguments);
    int64_t windowNs[2] = {0, 0};
    LinkDrop drop(arguments);
    CloudViewer::Window window{kWarmupSeconds, seconds, arguments.text("ice-address", "127.0.0.1"),
                               [&](bool recording) {
                                   usage.window(recording);
                                   windowNs[recording ? 0 : 1] = bench::monotonicNowNs();
                                   drop.recording(recording);
                               },
                               arguments.paint};
    auto figures = CloudViewer::run(arguments.text("service"), arguments.text("device"), window, recorder);
    if (!figures) {
        std::fprintf(stderr, "latency_bench: %s\n", figures.error().c_str());
        return 1;
    }
    auto summary = recorder.summary();
    printSummary(prefix, summary);
    if (!arguments.text("host-trace").empty())
        printStages(prefix, readStageTimings(arguments.text("host-trace"), arguments.text("viewer-trace"),
                                             windowNs[0], windowNs[1], summary));
    if (drop.active()) printFigure(prefix + "recovery_under_150ms", drop.recoverySeconds(summary, 150), "s");
    if (arguments.paint) {
        printFigure(prefix + "paint_delay_p50", percentile(figures.value().paintDelaysMs, 0.5), "ms");
        printFigure(prefix + "paint_delay_p95", percentile(figures.value().paintDelaysMs, 0.95), "ms");
        printFigure(prefix + "ui_thread_cpu_per_picture", figures.value().uiThreadCpuMsPerPicture, "ms");
    }
    printFigure(prefix + "accept_to_first_frame", figures.value().acceptToFirstFrameMs, "ms");
    printFigure(prefix + "bitrate", figures.value().receivedKbps / 1000, "Mbit/s");
    std::printf("%sroute %s\n", prefix.c_str(),
                figures.value().route ? (*figures.value().route == RTCMediaRoute::relay ? "relay" : "direct")
                                      : "unknown");
    usage.print(prefix, "host", "controller");
    return 0;
}

int runFloor(const Arguments& arguments, const std::string& prefix, double seconds) {
    auto quality = shareQualityFromRaw(arguments.text("quality", "sharp"));
    const char* display = std::getenv("DISPLAY");
    if (!quality || !display) {
        std::fprintf(stderr, "latency_bench: floor needs DISPLAY and a known --quality\n");
        return 2;
    }
    // The profile the sharing side resolves for a level-5.1 viewer on this route.
    MacStreamProfile profile = MacStreamProfile::resolve(
        *quality, 51, arguments.relay ? RTCMediaRoute::relay : RTCMediaRoute::direct);
    LatencyRecorder recorder;
    Usage usage(arguments);
    auto floor = FloorPipeline::start(display, profile, arguments.paced, recorder);
    if (!floor) {
        std::fprintf(stderr, "latency_bench: %s\n", floor.error().c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmupSeconds));
    floor.value()->resetCounters();
    usage.window(true);
    recorder.setRecording(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    recorder.setRecording(false);
    usage.window(false);
    int bytesPerSecond = floor.value()->encodedBytesPerSecond(seconds);
    FloorPipeline::Stages stages = floor.value()->stages();
    floor.value()->stop();
    printSummary(prefix, recorder.summary());
    for (auto& [name, values] : {std::pair{"capture_wait", &stages.captureWait},
                                 {"capture_to_encoder", &stages.conversion},
                                 {"encode", &stages.encode},
                                 {"decode_to_bgra", &stages.decode}}) {
        printFigure(prefix + "stage_" + name + "_p50", percentile(*values, 0.5), "ms");
        printFigure(prefix + "stage_" + name + "_p95", percentile(*values, 0.95), "ms");
    }
    printFigure(prefix + "bitrate", bytesPerSecond * 8 / 1e6, "Mbit/s");
    usage.print(prefix, "host", "process");
    return 0;
}

int runVnc(const Arguments& arguments, const std::string& prefix, double seconds) {
    LatencyRecorder recorder;
    Usage usage(arguments);
    uint64_t bytesAtStart = 0, bytesAtEnd = 0;
    auto onWindow = [&](bool recording) {
        usage.window(recording);
        recorder.setRecording(recording);
        (recording ? bytesAtStart : bytesAtEnd) = bench::loopbackBytes();
    };
    auto figures =
        VncReader::run(int(arguments.number("port", 5900)), kWarmupSeconds, seconds, recorder, onWindow);
    if (!figures) {
        std::fprintf(stderr, "latency_bench: %s\n", figures.error().c_str());
        return 1;
    }
    printSummary(prefix, recorder.summary());
    printFigure(prefix + "connect_to_first_update", figures.value().firstUpdateMs, "ms");
    // Everything on loopback in this namespace while only the VNC pair talks.
    printFigure(prefix + "bitrate", double(bytesAtEnd - bytesAtStart) * 8 / seconds / 1e6, "Mbit/s");
    usage.print(prefix, "host", "viewer");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    auto arguments = parse(argc, argv);
    if (!arguments || arguments->text("case").empty()) {
        std::fprintf(stderr, "usage: latency_bench cloud|floor|vnc --case NAME [options] (see the source)\n");
        return 2;
    }
    double seconds = double(std::max(1L, arguments->number("seconds", 30)));
    std::string prefix = "latency." + arguments->text("case") + ".";
    if (arguments->mode == "cloud") return runCloud(argc, argv, *arguments, prefix, seconds);
    if (arguments->mode == "floor") return runFloor(*arguments, prefix, seconds);
    if (arguments->mode == "vnc") return runVnc(*arguments, prefix, seconds);
    std::fprintf(stderr, "latency_bench: unknown mode %s\n", arguments->mode.c_str());
    return 2;
}
