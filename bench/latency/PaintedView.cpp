#include "PaintedView.h"

#include "ProcessUsage.h"

namespace quorlinth::latency {

PaintedView::PaintedView(LatencyRecorder& recorder) : MacRemoteView([](Json) {}), recorder(recorder) {}

void PaintedView::setRecording(bool on) {
    recording = on;
    if (on) delays.clear();
}

void PaintedView::paintEvent(QPaintEvent* event) {
    MacRemoteView::paintEvent(event);
    const RTCVideoFrame* shown = shownPicture();
    if (!shown || framesShown() == lastShown) return;
    lastShown = framesShown();
    int64_t nowNs = bench::monotonicNowNs();
    if (!firstPainted) firstPainted = nowNs;
    if (recording) delays.push_back(double(nowNs - shown->timestampNs) / 1e6);
    recorder.picture(bench::unixFromMonotonicNs(nowNs), shown->bgra->data(), shown->width, shown->height,
                     shown->stride);
}

} // namespace quorlinth::latency
