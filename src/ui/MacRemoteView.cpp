#include "ui/MacRemoteView.h"

#include "controller/MacKeyCodes.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <cmath>
#include <libyuv/scale_argb.h>

namespace quorlinth {

namespace {

// X keysyms of the modifier keys, whose own events carry the modifier state from before them.
constexpr uint32_t kShiftL = 0xffe1, kShiftR = 0xffe2, kControlL = 0xffe3, kControlR = 0xffe4;
constexpr uint32_t kMetaL = 0xffe7, kMetaR = 0xffe8, kAltL = 0xffe9, kAltR = 0xffea;
constexpr uint32_t kSuperL = 0xffeb, kSuperR = 0xffec, kAltGr = 0xfe03;
// One wheel click in Qt's eighths of a degree, and what the remote counts as one.
constexpr double kAngleUnitsPerClick = 120, kPixelsPerClick = 40;
constexpr double kFallbackRefreshRate = 60;

LocalModifiers modifiersAfter(const QKeyEvent& event, uint32_t keysym, bool down) {
    Qt::KeyboardModifiers held = event.modifiers();
    LocalModifiers local{held.testFlag(Qt::ShiftModifier), held.testFlag(Qt::ControlModifier),
                         held.testFlag(Qt::AltModifier) || held.testFlag(Qt::GroupSwitchModifier),
                         held.testFlag(Qt::MetaModifier)};
    switch (keysym) {
    case kShiftL:
    case kShiftR:
        local.shift = down;
        break;
    case kControlL:
    case kControlR:
        local.control = down;
        break;
    case kMetaL:
    case kMetaR:
    case kAltL:
    case kAltR:
    case kAltGr:
        local.alt = down;
        break;
    case kSuperL:
    case kSuperR:
        local.super = down;
        break;
    default:
        break;
    }
    return local;
}

// Only local files travel; links and other URLs in the drag are left out.
std::vector<std::filesystem::path> localFiles(const QMimeData* data) {
    std::vector<std::filesystem::path> files;
    if (!data || !data->hasUrls()) return files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            files.emplace_back(url.toLocalFile().toStdString());
    return files;
}

std::optional<LocalButton> localButton(Qt::MouseButton button) {
    if (button == Qt::LeftButton) return LocalButton::left;
    if (button == Qt::RightButton) return LocalButton::right;
    return std::nullopt;
}

} // namespace

MacRemoteView::MacRemoteView(Send send, QWidget* parent) : QWidget(parent), translator(std::move(send)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setMinimumSize(160, 90);
    tick.setTimerType(Qt::PreciseTimer);
    connect(&tick, &QTimer::timeout, this, &MacRemoteView::pullFrame);
}

void MacRemoteView::setFrames(std::weak_ptr<const VideoFrameStore> source) {
    bool sameOwner = !frames.owner_before(source) && !source.owner_before(frames);
    if (sameOwner && !frames.expired()) return;
    frames = std::move(source);
    // A new source starts from nothing: no picture, no held button, no remembered position.
    version = kNothingShown;
    scaledVersion = kNothingShown;
    shown.reset();
    imageSize = QSize();
    translator.focusLost();
    update();
}

void MacRemoteView::setDropFiles(std::function<void(std::vector<std::filesystem::path>)> hook) {
    onDropFiles = std::move(hook);
    setAcceptDrops(bool(onDropFiles));
}

void MacRemoteView::setFill(bool on) {
    if (stretch == on) return;
    stretch = on;
    update();
}

void MacRemoteView::followRefreshRate() {
    QScreen* screen =
        window()->windowHandle() ? window()->windowHandle()->screen() : QGuiApplication::primaryScreen();
    double rate = screen && screen->refreshRate() > 1 ? screen->refreshRate() : kFallbackRefreshRate;
    tick.setInterval(std::max(1, static_cast<int>(std::lround(1000.0 / rate))));
}

void MacRemoteView::pullFrame() {
    auto source = frames.lock();
    if (!source) return;
    auto [frame, storeVersion] = source->read();
    if (storeVersion == version) return;
    version = storeVersion;
    // A cleared store (the client ended) leaves the last picture up.
    if (!frame || !frame->bgra || frame->width <= 0 || frame->height <= 0) return;
    shown = std::move(frame);
    ++shownCount;
    QSize size(shown->width, shown->height);
    if (size != imageSize) {
        imageSize = size;
        emit pictureResized(size);
    }
    update();
}

QRectF MacRemoteView::pictureRect() const {
    if (imageSize.isEmpty() || stretch) return QRectF(rect());
    double scale = std::min(width() / double(imageSize.width()), height() / double(imageSize.height()));
    QSizeF drawn(imageSize.width() * scale, imageSize.height() * scale);
    return QRectF(QPointF((width() - drawn.width()) / 2, (height() - drawn.height()) / 2), drawn);
}

std::optional<PicturePoint> MacRemoteView::pointAt(QPointF position) const {
    auto point = picturePoint(
        position.x(), position.y(),
        {double(width()), double(height()), double(imageSize.width()), double(imageSize.height()), stretch});
    auto within = [](double value) { return value >= 0 && value <= 1; };
    if (point && within(point->x) && within(point->y)) return point;
    return std::nullopt;
}

const QImage& MacRemoteView::scaledPicture(QSize target) {
    if (scaled.size() != target) {
        scaled = QImage(target, QImage::Format_RGB32);
        scaledVersion = kNothingShown;
    }
    if (scaledVersion != version) {
        libyuv::ARGBScale(shown->bgra->data(), shown->stride, shown->width, shown->height, scaled.bits(),
                          static_cast<int>(scaled.bytesPerLine()), target.width(), target.height(),
                          libyuv::kFilterBilinear);
        scaledVersion = version;
    }
    return scaled;
}

void MacRemoteView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRectF target = pictureRect();
    painter.fillRect(rect(), Qt::black);
    if (!shown) return;
    double ratio = devicePixelRatioF();
    QSize pixels(std::max(1, int(std::lround(target.width() * ratio))),
                 std::max(1, int(std::lround(target.height() * ratio))));
    if (pixels == imageSize) {
        // Drawn at its own size: the decoder's buffer goes to the screen as it is.
        QImage picture(shown->bgra->data(), shown->width, shown->height, shown->stride, QImage::Format_RGB32);
        painter.drawImage(target, picture);
        return;
    }
    painter.drawImage(target, scaledPicture(pixels));
}

void MacRemoteView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    emit areaResized(QSizeF(size()), devicePixelRatioF());
}

// The tick runs only while the view is on screen.
void MacRemoteView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    followRefreshRate();
    tick.start();
}

void MacRemoteView::hideEvent(QHideEvent* event) {
    tick.stop();
    QWidget::hideEvent(event);
}

bool MacRemoteView::event(QEvent* event) {
    // While the picture has the keyboard every combination goes to the remote, not to local
    // menu shortcuts.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

bool MacRemoteView::focusNextPrevChild(bool) {
    return false; // Tab belongs to the remote
}

void MacRemoteView::focusOutEvent(QFocusEvent* event) {
    translator.focusLost();
    QWidget::focusOutEvent(event);
}

void MacRemoteView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    if (auto button = localButton(event->button())) translator.mouseDown(*button, pointAt(event->position()));
}

void MacRemoteView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & (Qt::LeftButton | Qt::RightButton))
        translator.mouseDragged(pointAt(event->position()));
    else
        translator.mouseMoved(pointAt(event->position()));
}

void MacRemoteView::mouseReleaseEvent(QMouseEvent* event) {
    if (auto button = localButton(event->button())) translator.mouseUp(*button, pointAt(event->position()));
}

void MacRemoteView::wheelEvent(QWheelEvent* event) {
    QPointF delta = event->pixelDelta().isNull()
                        ? QPointF(event->angleDelta()) * (kPixelsPerClick / kAngleUnitsPerClick)
                        : QPointF(event->pixelDelta());
    translator.scrolled(delta.x(), delta.y());
    event->accept();
}

void MacRemoteView::keyPressEvent(QKeyEvent* event) {
    handleKey(event, true);
}

void MacRemoteView::keyReleaseEvent(QKeyEvent* event) {
    handleKey(event, false);
}

void MacRemoteView::dragEnterEvent(QDragEnterEvent* event) {
    if (!onDropFiles || localFiles(event->mimeData()).empty()) return event->ignore();
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void MacRemoteView::dropEvent(QDropEvent* event) {
    auto files = localFiles(event->mimeData());
    if (!onDropFiles || files.empty()) return event->ignore();
    event->setDropAction(Qt::CopyAction);
    event->accept();
    onDropFiles(std::move(files));
}

void MacRemoteView::handleKey(QKeyEvent* event, bool down) {
    auto keysym = static_cast<uint32_t>(event->nativeVirtualKey());
    event->accept();
    if (keysym != 0 && macKeyCodeForKeysym(keysym)) {
        LocalKey key{keysym, modifiersAfter(*event, keysym, down), event->isAutoRepeat()};
        down ? translator.keyDown(key) : translator.keyUp(key);
        return;
    }
    // A character without a key of its own (a composed or non-Latin one) is typed as text.
    if (down && !event->text().isEmpty() && event->text().at(0).isPrint())
        translator.typeText(event->text().toStdString());
}

} // namespace quorlinth
