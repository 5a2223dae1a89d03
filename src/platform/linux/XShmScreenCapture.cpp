#include "platform/linux/XShmScreenCapture.h"

#include "base/FramePacer.h"
#include "platform/linux/X11Connection.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

namespace quorlinth {

namespace {

// The configuration's minimum frame interval in whole milliseconds (33 without one).
Millis frameInterval(const StreamConfiguration& config) {
    if (config.minimumFrameIntervalTimescale <= 0) return Millis(33);
    return Millis(
        std::max<int64_t>(1, 1000 * config.minimumFrameIntervalValue / config.minimumFrameIntervalTimescale));
}

std::string x11Error(Display* display, int code) {
    char text[256] = {};
    XGetErrorText(display, code, text, sizeof text);
    return "X11 " + std::to_string(code) + "：" + text;
}

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// One shared-memory image. Its memory outlives the stream while a frame made from it is held.
struct ShmSegment {
    XShmSegmentInfo info{};
    XImage* image = nullptr;
    PixelBuffer picture;

    ~ShmSegment() {
        if (image) {
            image->data = nullptr; // the memory is the segment's, not Xlib's
            XDestroyImage(image);
        }
        if (info.shmaddr && info.shmaddr != reinterpret_cast<char*>(-1)) shmdt(info.shmaddr);
    }
};

// Straight BGRA over premultiplied ARGB: the cursor's pixels come premultiplied.
void drawCursor(const XFixesCursorImage& cursor, PixelBuffer& picture, int originX, int originY) {
    int left = cursor.x - cursor.xhot - originX;
    int top = cursor.y - cursor.yhot - originY;
    for (int row = 0; row < cursor.height; ++row) {
        int y = top + row;
        if (y < 0 || y >= picture.height) continue;
        for (int column = 0; column < cursor.width; ++column) {
            int x = left + column;
            if (x < 0 || x >= picture.width) continue;
            uint32_t argb = uint32_t(cursor.pixels[row * cursor.width + column]);
            uint32_t alpha = argb >> 24;
            if (alpha == 0) continue;
            uint8_t* pixel = picture.data + size_t(y) * picture.stride + size_t(x) * 4;
            uint32_t keep = 255 - alpha;
            pixel[0] = uint8_t((argb & 0xFF) + pixel[0] * keep / 255);
            pixel[1] = uint8_t(((argb >> 8) & 0xFF) + pixel[1] * keep / 255);
            pixel[2] = uint8_t(((argb >> 16) & 0xFF) + pixel[2] * keep / 255);
            pixel[3] = 255;
        }
    }
}

// Waits on the X connection's socket on a thread of its own, so that DAMAGE is read the moment
// it arrives; Xlib itself is only called on the sample queue. After each wake-up it waits to be
// re-armed (the queue has read the socket), so unread bytes never make it spin.
class SocketWatch {
public:
    SocketWatch(int socket, std::function<void()> readable) : socket(socket), readable(std::move(readable)) {
        if (pipe(wake) != 0) wake[0] = wake[1] = -1;
        thread = std::thread([this] { run(); });
    }
    ~SocketWatch() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        if (wake[1] >= 0) (void)!write(wake[1], "x", 1);
        thread.join();
        for (int end : wake)
            if (end >= 0) close(end);
    }
    void rearm() {
        {
            std::lock_guard lock(mutex);
            armed = true;
        }
        changed.notify_all();
    }

private:
    void run() {
        for (;;) {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [this] { return armed || stopping; });
                if (stopping) return;
            }
            pollfd watched[2] = {{socket, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (poll(watched, wake[0] >= 0 ? 2 : 1, -1) < 0) continue;
            if (watched[1].revents || (watched[0].revents & (POLLERR | POLLHUP | POLLNVAL))) return;
            if (!(watched[0].revents & POLLIN)) continue;
            {
                std::lock_guard lock(mutex);
                armed = false;
            }
            readable();
        }
    }

    int socket;
    int wake[2] = {-1, -1};
    std::function<void()> readable;
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = true;
    bool stopping = false;
    std::thread thread;
};

class XShmStream : public CaptureStream, public std::enable_shared_from_this<XShmStream> {
public:
    XShmStream(std::unique_ptr<X11Connection> connection, RandRDisplayServices::Location where,
               std::function<void(CaptureSample)> onSample, std::function<void(std::string)> onStop)
        : connection(std::move(connection)), where(std::move(where)), onSample(std::move(onSample)),
          onStop(std::move(onStop)) {}

    ~XShmStream() override { release(); }

    Result<void> setUp() {
        Display* display = connection->get();
        if (!XShmQueryExtension(display)) return Error{"X11 MIT-SHM 不可用"};
        int screen = DefaultScreen(display);
        for (size_t i = 0; i < XShmScreenCapture::kBuffers; ++i) {
            auto segment = std::make_shared<ShmSegment>();
            segment->image =
                XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen),
                                ZPixmap, nullptr, &segment->info, where.width, where.height);
            if (!segment->image) return Error{"X11 MIT-SHM 图像创建失败"};
            if (segment->image->bits_per_pixel != 32) return Error{"X11 不支持的像素深度"};
            size_t bytes = size_t(segment->image->bytes_per_line) * size_t(where.height);
            segment->info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
            if (segment->info.shmid < 0) return Error{"X11 共享内存分配失败"};
            segment->info.shmaddr = segment->image->data =
                static_cast<char*>(shmat(segment->info.shmid, nullptr, 0));
            segment->info.readOnly = False;
            bool attached =
                segment->info.shmaddr != reinterpret_cast<char*>(-1) && XShmAttach(display, &segment->info);
            XSync(display, False);
            shmctl(segment->info.shmid, IPC_RMID, nullptr); // freed once both sides detach
            int error = X11Connection::takeLastError();
            if (!attached || error) return Error{error ? x11Error(display, error) : "X11 MIT-SHM 连接失败"};
            segment->picture = {where.width, where.height, segment->image->bytes_per_line,
                                reinterpret_cast<uint8_t*>(segment->image->data)};
            segments.push_back(segment);
        }
        int errorBase;
        if (XDamageQueryExtension(display, &damageEvent, &errorBase))
            damage = XDamageCreate(display, DefaultRootWindow(display), XDamageReportNonEmpty);
        hasCursor = XFixesQueryExtension(display, &errorBase, &errorBase);
        XSync(display, False);
        X11Connection::takeLastError();
        return Result<void>();
    }

    // A changed screen is captured as soon as DAMAGE says so, at most once per `period` (due-time
    // pacing); the periodic tick follows the cursor, reports an unchanged screen as idle and is
    // the whole schedule when the server has no DAMAGE.
    void begin(Dispatcher& queue, Millis period) {
        sampleQueue = queue.handle();
        pace(period);
        if (damage) {
            watch = std::make_unique<SocketWatch>(ConnectionNumber(connection->get()),
                                                  [weak = weak_from_this(), handle = sampleQueue] {
                                                      if (auto queue = handle.lock())
                                                          queue->post([weak] {
                                                              if (auto self = weak.lock()) self->readable();
                                                          });
                                                  });
        }
    }

    void updateConfiguration(const StreamConfiguration& config) override {
        auto queue = sampleQueue.lock();
        if (!queue || stopped) return;
        queue->post([weak = weak_from_this(), period = frameInterval(config)] {
            if (auto self = weak.lock()) self->pace(period);
        });
    }

    void stop() override {
        if (stopped.exchange(true)) return;
        cancelTimer();
        // X resources belong to the sample queue; they go there.
        if (auto queue = sampleQueue.lock()) queue->post([self = shared_from_this()] { self->release(); });
    }

private:
    // The rate changes on the sample queue (or before the first sample).
    void pace(Millis period) {
        auto queue = sampleQueue.lock();
        std::lock_guard lock(timerMutex);
        if (!queue || stopped) return;
        fps = std::max(1, int(std::lround(1000.0 / double(period.count()))));
        timer = queue->every(Millis(0), period, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->tick();
        });
    }

    // stop() runs on the owner's thread while pace() may run on the sample queue.
    void cancelTimer() {
        std::lock_guard lock(timerMutex);
        timer.cancel();
    }

    // Only the sample queue runs these.
    void tick() {
        if (stopped) return;
        Display* display = connection->get();
        bool changed = takeDamage(display) | cursorMoved(display);
        if (connection->broken()) return fail("X11 连接已断开");
        if (!changed && !dirty) return deliver(nullptr, FrameStatus::idle);
        dirty = true;
        captureWhenDue();
    }

    void readable() {
        if (stopped) return;
        if (takeDamage(connection->get())) dirty = true;
        if (connection->broken()) return fail("X11 连接已断开");
        captureWhenDue();
        if (watch) watch->rearm();
    }

    void captureWhenDue() {
        if (stopped || !dirty) return;
        int64_t now = monotonicNs();
        if (!pacer.admit(now, fps)) {
            // Due at the latest a period after the last capture: come back then.
            if (!deferred.active()) {
                auto wait =
                    std::chrono::nanoseconds(std::max<int64_t>(lastCaptureNs + period() - now, 1'000'000));
                if (auto queue = sampleQueue.lock())
                    deferred = queue->after(std::chrono::ceil<Millis>(wait), [weak = weak_from_this()] {
                        if (auto self = weak.lock()) self->captureWhenDue();
                    });
            }
            return;
        }
        lastCaptureNs = now;
        capture();
    }

    int64_t period() const { return int64_t(1'000'000'000) / fps; }

    void capture() {
        Display* display = connection->get();
        auto segment = freeSegment();
        if (!segment) return; // every buffer is still held downstream; the next tick tries again
        if (!XShmGetImage(display, DefaultRootWindow(display), segment->image, where.x, where.y, AllPlanes)) {
            XSync(display, False);
            int error = X11Connection::takeLastError();
            return fail(connection->broken() ? "X11 连接已断开"
                                             : x11Error(display, error ? error : BadMatch));
        }
        // Damage that came in with the image's reply sits in Xlib's queue, not on the socket.
        dirty = damage && takeDamage(display);
        if (cursor) drawCursor(*cursor, segment->picture, where.x, where.y);
        deliver(SharedPixels(segment, &segment->picture), FrameStatus::complete);
        if (dirty) captureWhenDue();
    }

    bool takeDamage(Display* display) {
        if (!damage) return true; // without DAMAGE every tick is a new frame
        bool damaged = false;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == damageEvent + XDamageNotify) damaged = true;
        }
        if (damaged) XDamageSubtract(display, damage, None, None);
        return damaged;
    }

    bool cursorMoved(Display* display) {
        if (!hasCursor) return false;
        XFixesCursorImage* image = XFixesGetCursorImage(display);
        if (!image) return false;
        bool moved = !cursor || cursor->x != image->x || cursor->y != image->y ||
                     cursor->cursor_serial != image->cursor_serial;
        if (cursor) XFree(cursor);
        cursor = image;
        return moved;
    }

    std::shared_ptr<ShmSegment> freeSegment() {
        for (auto& segment : segments)
            if (segment.use_count() == 1) return segment;
        return nullptr;
    }

    void deliver(SharedPixels image, FrameStatus status) {
        CaptureSample sample;
        sample.image = std::move(image);
        sample.status = status;
        sample.timestampNs = monotonicNs();
        onSample(std::move(sample));
    }

    void fail(const std::string& reason) {
        if (stopped.exchange(true)) return;
        cancelTimer();
        release();
        onStop(reason);
    }

    void release() {
        if (released) return;
        released = true;
        deferred.cancel();
        watch.reset(); // before the socket it watches closes
        Display* display = connection->get();
        if (!connection->broken()) {
            for (auto& segment : segments)
                XShmDetach(display, &segment->info);
            if (damage) XDamageDestroy(display, damage);
            XSync(display, False);
        }
        if (cursor) XFree(cursor);
        cursor = nullptr;
        segments.clear();
    }

    std::unique_ptr<X11Connection> connection;
    RandRDisplayServices::Location where;
    std::function<void(CaptureSample)> onSample;
    std::function<void(std::string)> onStop;
    std::vector<std::shared_ptr<ShmSegment>> segments;
    Damage damage = 0;
    int damageEvent = 0;
    bool hasCursor = false;
    XFixesCursorImage* cursor = nullptr;
    bool dirty = true; // the screen changed since the last capture; the first tick captures
    bool released = false;
    std::atomic<bool> stopped{false};
    int fps = 30;
    FramePacer pacer;
    int64_t lastCaptureNs = 0;
    std::mutex timerMutex;
    Timer timer;
    Timer deferred;
    std::unique_ptr<SocketWatch> watch;
    std::weak_ptr<Scheduler> sampleQueue;
};

} // namespace

bool XShmScreenCapture::preflightPermission() {
    return X11Connection::open(displays.serverName()) != nullptr;
}

Result<std::vector<ShareableDisplay>> XShmScreenCapture::shareableDisplays() {
    std::vector<ShareableDisplay> shareable;
    for (DisplayID id : displays.activeDisplays())
        if (auto size = displays.bounds(id)) shareable.push_back({id, size->width, size->height});
    return shareable;
}

Result<std::shared_ptr<CaptureStream>>
XShmScreenCapture::startStream(DisplayID display, const StreamConfiguration& config, Dispatcher& sampleQueue,
                               std::function<void(CaptureSample)> onSample,
                               std::function<void(std::string)> onStop) {
    auto where = displays.locate(display);
    if (!where || where->width <= 0 || where->height <= 0)
        return Error{"X11 找不到显示器 " + std::to_string(display)};
    auto connection = X11Connection::open(where->server);
    if (!connection) return Error{"X11 无法连接 " + where->server};
    auto stream =
        std::make_shared<XShmStream>(std::move(connection), *where, std::move(onSample), std::move(onStop));
    if (auto ready = stream->setUp(); !ready) return Error{ready.error()};
    stream->begin(sampleQueue, frameInterval(config));
    return std::shared_ptr<CaptureStream>(stream);
}

} // namespace quorlinth
