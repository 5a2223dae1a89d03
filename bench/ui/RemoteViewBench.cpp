// The remote view's cost per picture at 1080p30: a thread stores decoded-size BGRA pictures 30
// times a second, as the decoder does, and the view pulls and paints them on its own refresh
// tick. Prints, per case (picture drawn scaled into a 1280 × 720 view, and at its own size):
// UI-thread and whole-process CPU per painted picture, the delay from store to painted, and how many pictures
// were painted; plus the baseline of drawing the same picture scaled by QPainter alone.
//   remote_view_bench [seconds]     (QT_QPA_PLATFORM defaults to offscreen)
#include "ProcessUsage.h"
#include "ui/MacRemoteView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quorlinth;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kRate = 30;

// Qt scales and converts large images on its own worker threads: the whole process counts.
double ownCpuSeconds() {
    return bench::processCpuSeconds(getpid());
}

// Two pictures that differ, so every stored one is new.
std::vector<std::shared_ptr<const std::vector<uint8_t>>> pictures() {
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> made;
    for (int k = 0; k < 2; ++k) {
        auto pixels = std::make_shared<std::vector<uint8_t>>(size_t(kWidth) * kHeight * 4);
        for (size_t i = 0; i < pixels->size(); i += 4) {
            size_t pixel = i / 4;
            (*pixels)[i] = uint8_t(pixel % kWidth + k * 80);
            (*pixels)[i + 1] = uint8_t(pixel / kWidth);
            (*pixels)[i + 2] = uint8_t(k * 120);
            (*pixels)[i + 3] = 0xFF;
        }
        made.push_back(pixels);
    }
    return made;
}

// The view, recording how long after its store each picture it painted was on screen.
class TimedView : public MacRemoteView {
public:
    TimedView() : MacRemoteView([](Json) {}) {}
    std::vector<double> delaysMs;
    uint64_t painted = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        MacRemoteView::paintEvent(event);
        if (framesShown() == lastCount) return;
        lastCount = framesShown();
        ++painted;
        delaysMs.push_back((bench::monotonicNowNs() - shownTimestampNs()) / 1e6);
    }

private:
    uint64_t lastCount = 0;
};

struct Figures {
    double cpuMsPerPicture = 0;
    double processCpuMsPerPicture = 0;
    double delayP50 = 0, delayP95 = 0;
    uint64_t painted = 0, stored = 0;
};

Figures run(QSize viewSize, double seconds) {
    auto store = std::make_shared<VideoFrameStore>();
    TimedView view;
    view.resize(viewSize);
    view.setFrames(store);
    view.show();

    auto made = pictures();
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> stored{0};
    std::thread decoder([&] {
        auto next = std::chrono::steady_clock::now();
        for (uint64_t n = 0; !stop; ++n) {
            // The picture carries the time it was decoded, as the receiving pipeline's do.
            store->store(RTCVideoFrame{kWidth, kHeight, kWidth * 4, made[n % 2], bench::monotonicNowNs()});
            ++stored;
            next += std::chrono::microseconds(1'000'000 / kRate);
            std::this_thread::sleep_until(next);
        }
    });
    // Warm up, then measure the UI thread over the window.
    QTimer::singleShot(500, [] { QApplication::exit(0); });
    QApplication::exec();
    view.delaysMs.clear();
    view.painted = 0;
    uint64_t storedAtBegin = stored;
    double cpuBegin = bench::threadCpuSeconds();
    double processBegin = ownCpuSeconds();
    QTimer::singleShot(int(seconds * 1000), [] { QApplication::exit(0); });
    QApplication::exec();
    double cpu = bench::threadCpuSeconds() - cpuBegin;
    double processCpu = ownCpuSeconds() - processBegin;
    stop = true;
    decoder.join();

    Figures figures;
    figures.painted = view.painted;
    figures.stored = stored - storedAtBegin;
    figures.cpuMsPerPicture = view.painted ? cpu * 1000 / view.painted : 0;
    figures.processCpuMsPerPicture = view.painted ? processCpu * 1000 / view.painted : 0;
    auto& delays = view.delaysMs;
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        figures.delayP50 = delays[delays.size() / 2];
        figures.delayP95 = delays[std::min(delays.size() - 1, delays.size() * 95 / 100)];
    }
    return figures;
}

// The same picture drawn scaled with QPainter's smooth transform, onto an image of the view's size.
double qpainterBaselineMs(QSize viewSize) {
    auto made = pictures();
    QImage source(made[0]->data(), kWidth, kHeight, kWidth * 4, QImage::Format_RGB32);
    QImage target(viewSize, QImage::Format_RGB32);
    constexpr int kRounds = 300;
    double begin = ownCpuSeconds();
    for (int i = 0; i < kRounds; ++i) {
        QPainter painter(&target);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(QPointF(0, 0), QSizeF(viewSize)), source);
    }
    return (ownCpuSeconds() - begin) * 1000 / kRounds;
}

void print(const char* name, const Figures& f) {
    std::printf("%s_ui_cpu_per_picture %.2f ms\n", name, f.cpuMsPerPicture);
    std::printf("%s_process_cpu_per_picture %.2f ms\n", name, f.processCpuMsPerPicture);
    std::printf("%s_store_to_paint_p50 %.1f ms\n", name, f.delayP50);
    std::printf("%s_store_to_paint_p95 %.1f ms\n", name, f.delayP95);
    std::printf("%s_pictures_painted %llu pictures\n", name, (unsigned long long)f.painted);
    std::printf("%s_pictures_decoded %llu pictures\n", name, (unsigned long long)f.stored);
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    print("scaled_1080p_in_720p", run(QSize(1280, 720), seconds));
    print("own_size_1080p", run(QSize(kWidth, kHeight), seconds));
    std::printf("qpainter_smooth_scale_1080p_to_720p %.2f ms\n", qpainterBaselineMs(QSize(1280, 720)));
    return 0;
}
