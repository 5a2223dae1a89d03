// Screen capture benchmark: a private Xvfb per size, captured through the MIT-SHM backend and
// brought to the stream's output size and to I420 as the share host does. Prints `name value
// unit` lines:
//   - paced at 30 fps with the screen changing all the time and with it unchanged: complete
//     frames per second, this process's and the X server's CPU per frame;
//   - unpaced with the screen changing: capture + conversion time per frame, the figure the
//     pipeline must keep under 4 ms at 1920×1080;
//   - peak RSS.
//   capture_bench [--seconds N]

#include "ProcessUsage.h"
#include "XvfbServer.h"
#include "base/SerialQueue.h"
#include "capture/FrameScaler.h"
#include "capture/StreamProfile.h"
#include "platform/linux/RandRDisplayServices.h"
#include "platform/linux/XShmScreenCapture.h"

#include <X11/Xlib.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <libyuv/convert.h>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace quorlinth;

namespace {

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The Xvfb this process started (the newest of its Xvfb children).
pid_t serverPid() {
    pid_t newest = -1;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::string folder = std::string("/proc/") + entry->d_name;
        std::ifstream cmdline(folder + "/cmdline");
        std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (text.rfind("Xvfb", 0) != 0) continue;
        std::ifstream status(folder + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("PPid:", 0) == 0 && std::stoi(line.substr(5)) == getpid())
                newest = std::max(newest, pid_t(std::stoi(entry->d_name)));
    }
    if (proc) closedir(proc);
    return newest;
}

// Keeps the screen changing: a full-screen window repainted in a new colour every few ms.
class Painter {
public:
    Painter(const std::string& server, int width, int height) : width(width), height(height) {
        display = XOpenDisplay(server.c_str());
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, width, height, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
        XMapRaised(display, window);
        XSync(display, False);
    }
    ~Painter() {
        stop();
        XCloseDisplay(display);
    }
    void start() {
        running = true;
        worker = std::thread([this] {
            GC gc = XCreateGC(display, window, 0, nullptr);
            for (unsigned long colour = 0; running; colour += 0x010203) {
                XSetForeground(display, gc, colour & 0xFFFFFF);
                XFillRectangle(display, window, gc, 0, 0, width, height);
                XSync(display, False);
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
            XFreeGC(display, gc);
        });
    }
    void stop() {
        running = false;
        if (worker.joinable()) worker.join();
    }

private:
    Display* display;
    Window window;
    int width, height;
    std::atomic<bool> running{false};
    std::thread worker;
};

// Converts each complete frame as the share host's video source does; counts and times it.
struct Consumer {
    FrameScaler scaler;
    PixelSize output;
    std::vector<uint8_t> planes;
    std::atomic<int> complete{0};
    std::atomic<int> samples{0};
    double conversionSeconds = 0; // CPU time on the capture queue
    double queueCpuAtStart = -1;
    double queueCpuAtEnd = 0;

    explicit Consumer(PixelSize output)
        : output(output), planes(size_t(output.width) * output.height * 3 / 2) {}

    void take(const CaptureSample& sample) {
        if (queueCpuAtStart < 0) queueCpuAtStart = bench::threadCpuSeconds();
        queueCpuAtEnd = bench::threadCpuSeconds();
        ++samples;
        if (sample.status != FrameStatus::complete || !sample.image) return;
        double started = bench::threadCpuSeconds();
        SharedPixels pixels = scaler.scale(sample.image, output.width, output.height);
        if (!pixels) return;
        uint8_t* y = planes.data();
        uint8_t* u = y + size_t(output.width) * output.height;
        uint8_t* v = u + size_t(output.width / 2) * (output.height / 2);
        libyuv::ARGBToI420(pixels->data, pixels->stride, y, output.width, u, output.width / 2, v,
                           output.width / 2, output.width, output.height);
        conversionSeconds += bench::threadCpuSeconds() - started;
        ++complete;
        queueCpuAtEnd = bench::threadCpuSeconds();
    }
};

struct Run {
    double seconds;
    int complete;
    int samples;
    double clientCpu; // this process, seconds
    double queueCpu;  // the capture queue's thread, seconds
    double serverCpu;
    double conversion;
};

Run capture(XShmScreenCapture& service, DisplayID display, PixelSize output, int intervalMs, double seconds,
            pid_t server) {
    SerialQueue queue("quorlinth.mac.capture");
    Consumer consumer(output);
    StreamConfiguration config;
    config.width = output.width;
    config.height = output.height;
    config.minimumFrameIntervalValue = intervalMs;
    config.minimumFrameIntervalTimescale = 1000;
    double clientBefore = processCpuSeconds();
    double serverBefore = bench::processCpuSeconds(server);
    auto started = std::chrono::steady_clock::now();
    auto stream = service.startStream(
        display, config, queue, [&](CaptureSample sample) { consumer.take(sample); }, [](std::string) {});
    if (!stream) {
        std::fprintf(stderr, "capture failed: %s\n", stream.error().c_str());
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stream.value()->stop();
    std::atomic<bool> drained{false};
    queue.post([&] { drained = true; });
    while (!drained)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return {elapsed,
            consumer.complete.load(),
            consumer.samples.load(),
            processCpuSeconds() - clientBefore,
            consumer.queueCpuAtEnd - std::max(consumer.queueCpuAtStart, 0.0),
            bench::processCpuSeconds(server) - serverBefore,
            consumer.conversionSeconds};
}

void print(const std::string& name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", name.c_str(), value, unit);
    std::fflush(stdout);
}

void benchSize(int width, int height, double seconds) {
    quorlinth::testing::XvfbServer xvfb(width, height);
    if (!xvfb.running()) {
        std::fprintf(stderr, "Xvfb did not start\n");
        std::exit(1);
    }
    pid_t server = serverPid();
    auto displays = RandRDisplayServices::open(xvfb.display());
    XShmScreenCapture service(*displays);
    DisplayID main = displays->mainDisplay();
    PixelSize output = outputSize(width, height, MacShareQuality::sharp);
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    Painter painter(xvfb.display(), width, height);

    painter.start();
    Run changing = capture(service, main, output, 33, seconds, server);
    Run unpaced = capture(service, main, output, 1, seconds, server);
    painter.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Run idle = capture(service, main, output, 33, seconds, server);

    std::string prefix =
        "capture_" + size + "_to_" + std::to_string(output.width) + "x" + std::to_string(output.height);
    print(prefix + "_changing_fps", changing.complete / changing.seconds, "fps");
    print(prefix + "_changing_cpu_per_frame", 1000 * changing.clientCpu / std::max(changing.complete, 1),
          "ms");
    print(prefix + "_changing_queue_cpu_per_frame", 1000 * changing.queueCpu / std::max(changing.complete, 1),
          "ms");
    print(prefix + "_changing_xserver_cpu_per_frame",
          1000 * changing.serverCpu / std::max(changing.complete, 1), "ms");
    print(prefix + "_unpaced_fps", unpaced.complete / unpaced.seconds, "fps");
    print(prefix + "_capture_plus_conversion_cpu_per_frame",
          1000 * unpaced.queueCpu / std::max(unpaced.complete, 1), "ms");
    print(prefix + "_conversion_cpu_per_frame", 1000 * unpaced.conversion / std::max(unpaced.complete, 1),
          "ms");
    print(prefix + "_idle_complete_fps", idle.complete / idle.seconds, "fps");
    print(prefix + "_idle_ticks_per_second", idle.samples / idle.seconds, "ticks");
    print(prefix + "_idle_cpu_per_tick", 1000 * idle.clientCpu / std::max(idle.samples, 1), "ms");
    print(prefix + "_idle_xserver_cpu_per_second", idle.serverCpu / idle.seconds * 1000, "ms");
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    benchSize(1920, 1080, seconds);
    benchSize(2880, 1800, seconds);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    print("capture_peak_rss", double(usage.ru_maxrss) / 1024, "MB");
    return 0;
}
