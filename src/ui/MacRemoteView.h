#pragma once

#include "controller/ControllerInputTranslator.h"
#include "controller/VideoFrameStore.h"

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

namespace quorlinth {

// The remote picture: pulls the newest decoded picture of a frame store at the display's refresh
// (never a queue of pictures), draws it fitted or stretched, and turns mouse, wheel and keys over
// it into control messages through the input translator. Main thread only.
class MacRemoteView : public QWidget {
    Q_OBJECT
public:
    using Send = ControllerInputTranslator::Send;

    explicit MacRemoteView(Send send, QWidget* parent = nullptr);

    // The pictures to show; a different source clears what is shown and forgets held buttons.
    void setFrames(std::weak_ptr<const VideoFrameStore> frames);
    void setTarget(std::optional<MacDevice> device) { translator.setTarget(std::move(device)); }
    void setFill(bool on);
    bool fill() const { return stretch; }
    // For the window's buttons and hooks (paste hand-over, full-screen shortcut).
    ControllerInputTranslator& input() { return translator; }
    // Local files dropped onto the picture; none: the view takes no drops.
    void setDropFiles(std::function<void(std::vector<std::filesystem::path>)> hook);

    // Takes the store's newest picture when it is new; the render tick calls it.
    void pullFrame();
    // Pictures taken from the store since creation.
    uint64_t framesShown() const { return shownCount; }
    // The receiving pipeline's time of the picture shown (0 before any), for frame-to-paint
    // delays.
    int64_t shownTimestampNs() const { return shown ? shown->timestampNs : 0; }
    // The picture shown (the decoder's buffer, not a copy); null before any.
    const RTCVideoFrame* shownPicture() const { return shown ? &*shown : nullptr; }
    // Pixel size of the picture shown; empty before any.
    QSize pictureSize() const { return imageSize; }
    // Picture fractions of a position in the view; none outside the picture or without one.
    std::optional<PicturePoint> pointAt(QPointF position) const;
    // Where the picture is drawn, in the view's coordinates.
    QRectF pictureRect() const;

signals:
    // The picture's pixel size changed (the first picture, or the remote's resolution).
    void pictureResized(QSize size);
    // The picture area in points and the backing scale, for the viewport request.
    void areaResized(QSizeF points, double scale);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    static constexpr uint64_t kNothingShown = std::numeric_limits<uint64_t>::max();

    void followRefreshRate();
    void handleKey(QKeyEvent* event, bool down);
    const QImage& scaledPicture(QSize target);

    ControllerInputTranslator translator;
    std::function<void(std::vector<std::filesystem::path>)> onDropFiles;
    std::weak_ptr<const VideoFrameStore> frames;
    bool stretch = false;
    QTimer tick;
    uint64_t version = kNothingShown;
    uint64_t shownCount = 0;
    QSize imageSize;
    std::optional<RTCVideoFrame> shown; // shares the decoder's buffer; never copied
    QImage scaled;                      // the shown picture at its drawn size, reused
    uint64_t scaledVersion = kNothingShown;
};

} // namespace quorlinth
