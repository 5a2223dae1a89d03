#pragma once

#include "LatencyRecorder.h"
#include "ui/MacRemoteView.h"

#include <cstdint>
#include <vector>

namespace quorlinth::latency {

// The application's remote view, recording each new picture once it has been painted: the
// clock it shows is read at the end of the paint, so the latency includes the view's wait for
// its refresh tick and the drawing itself.
class PaintedView : public MacRemoteView {
public:
    explicit PaintedView(LatencyRecorder& recorder);

    void setRecording(bool on);
    int64_t firstPaintedNs() const { return firstPainted; }
    // Decode to end of paint of each new picture while recording.
    const std::vector<double>& paintDelaysMs() const { return delays; }
    uint64_t paintedWhileRecording() const { return delays.size(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    LatencyRecorder& recorder;
    bool recording = false;
    uint64_t lastShown = 0;
    int64_t firstPainted = 0;
    std::vector<double> delays;
};

} // namespace quorlinth::latency
