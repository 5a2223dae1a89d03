#include "capture/MacCapture.h"

#include "base/MainQueue.h"

#include <algorithm>

namespace quorlinth {

namespace {

constexpr const char* kMainDisplayName = "主显示器";

bool contains(const std::vector<DisplayID>& list, DisplayID id) {
    return std::find(list.begin(), list.end(), id) != list.end();
}

std::string flag(bool value) {
    return value ? "true" : "false";
}

std::string size(int64_t width, int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

MacViewport viewportOf(const DisplayMode& mode) {
    return {mode.width, mode.height, mode.pixelWidth >= 2 * mode.width, false};
}

} // namespace

MacCapture::VirtualDisplayLauncher MacCapture::childProcessLauncher(MacVirtualDisplayProcess::Launch launch) {
    return [launch](const MacViewport& viewport, MacVirtualDisplayProcess::CancelFlag cancel,
                    std::function<void(std::shared_ptr<MacVirtualDisplayProcess>)> done) {
        MacVirtualDisplayProcess::start(launch, viewport.width, viewport.height, viewport.hiDPI, mainQueue(),
                                        std::move(done), std::move(cancel));
    };
}

std::shared_ptr<MacCapture> MacCapture::create(Platform platform, Timings timings) {
    return std::shared_ptr<MacCapture>(new MacCapture(std::move(platform), timings));
}

MacCapture::MacCapture(Platform platform, Timings timings)
    : platform(std::move(platform)), timings(timings) {}

MacCapture::~MacCapture() {
    launchCancel->store(true);
    if (stream) stream->stop();
    if (virtualDisplay) virtualDisplay->stop();
}

void MacCapture::log(const std::string& line) const {
    if (platform.log) platform.log(line);
}

// MARK: start and stop

void MacCapture::start(std::function<void(Result<void>)> done) {
    if (running) return done(Result<void>());
    launchCancel = std::make_shared<std::atomic<bool>>(false);
    uint64_t generation = lifecycle;
    auto weak = weak_from_this();
    auto cancelled = [weak, generation] {
        auto self = weak.lock();
        return !self || self->lifecycle != generation;
    };
    startAttempt(cancelled, [weak, generation, done](Result<void> result) {
        auto self = weak.lock();
        if (!self) return;
        if (self->lifecycle != generation) return done(Error{"采集已停止"});
        if (!result) {
            self->releaseVirtualDisplay();
            return done(result);
        }
        self->running = true;
        self->installObservers();
        done(Result<void>());
    });
}

void MacCapture::stop(std::function<void()> done) {
    ++lifecycle;
    running = false;
    following = false;
    ++restartGeneration;
    restart.cancel();
    ++viewportGeneration;
    viewportChange.cancel();
    afterViewportLaunch.clear();
    launchCancel->store(true);
    viewportSession.restore();
    displayCheck.cancel();
    observers.clear();
    if (auto previous = std::exchange(stream, nullptr)) previous->stop();
    restoreUserMode();
    auto process = virtualDisplay;
    releaseVirtualDisplay();
    if (!process) {
        if (done) done();
        return;
    }
    waitForRemoval(process->displayID(), process, 0, std::move(done));
}

void MacCapture::waitForRemoval(DisplayID display, std::shared_ptr<MacVirtualDisplayProcess> process,
                                int check, std::function<void()> done) {
    if (process->exited() && !platform.displays.isOnline(display)) {
        if (done) done();
        return;
    }
    if (check + 1 >= timings.removalChecks) {
        log("停止共享：Quorlinth 虚拟屏 " + std::to_string(display) + " 仍在线或辅助进程尚未退出，当前主屏 " +
            std::to_string(platform.displays.mainDisplay()));
        if (done) done();
        return;
    }
    mainQueue().postAfter(timings.removalCheckInterval,
                          [weak = weak_from_this(), display, process, check, done] {
                              if (auto self = weak.lock())
                                  return self->waitForRemoval(display, process, check + 1, done);
                              if (done) done();
                          });
}

// MARK: one start attempt

bool MacCapture::readSystemSharing() {
    bool active = platform.session.systemScreenSharingActive();
    if (active != screenSharingSeen) {
        screenSharingSeen = active;
        log(active ? "系统屏幕共享已连接，等待可采集显示器交接" : "系统屏幕共享已断开");
    }
    return active;
}

void MacCapture::startAttempt(Cancelled cancelled, AttemptDone done) {
    if (readSystemSharing()) return chooseAndStart(cancelled, true, done);
    arrangeVirtualDisplay(cancelled, [weak = weak_from_this(), cancelled, done] {
        if (auto self = weak.lock()) self->chooseAndStart(cancelled, true, done);
    });
}

void MacCapture::chooseAndStart(Cancelled cancelled, bool mayCreateVirtual, AttemptDone done) {
    if (cancelled()) return done(Error{"采集已停止"});
    auto content = platform.capture.shareableDisplays();
    if (!content) return done(Error{content.error()});
    std::vector<DisplayID> shareable;
    for (const auto& display : content.value())
        shareable.push_back(display.id);

    DisplayID main = platform.displays.mainDisplay();
    DisplayID virtualID = virtualDisplay ? virtualDisplay->displayID() : 0;
    DisplayID target = virtualDisplay && !standby ? virtualID : main;
    if (screenSharingSeen) {
        std::vector<DisplayID> recordable;
        for (DisplayID id : capturableDisplays())
            if (contains(shareable, id)) recordable.push_back(id);
        if (!recordable.empty()) {
            target = contains(recordable, main) ? main : recordable.front();
        } else if (stream && !streamFailed) {
            return done(Result<void>()); // keep the stream the system has not taken yet
        }
    }
    if (contains(shareable, target)) return startStream(target, target, cancelled, done);

    log("没有可录的显示器 main=" + std::to_string(main) + " target=" + std::to_string(target) +
        " virtual=" + std::to_string(virtualID));
    if (screenSharingSeen || virtualDisplay || !mayCreateVirtual) return done(Error{kNoMainDisplay});
    MacViewport viewport = viewportSession.current;
    createVirtualDisplay(
        viewport, cancelled, [weak = weak_from_this(), viewport, cancelled, done](auto process) {
            auto self = weak.lock();
            if (!self) return;
            if (!process) return done(Error{kNoMainDisplay});
            self->adoptVirtualDisplay(process);
            self->log("虚拟屏 " + viewport.text() + " id=" + std::to_string(process->displayID()));
            self->chooseAndStart(cancelled, false, done);
        });
}

std::optional<DisplayMode> MacCapture::pixelMode(DisplayID display) {
    if (auto mode = platform.displays.currentMode(display)) return mode;
    // A display without a mode of its own that another display mirrors shows that display's mode.
    for (DisplayID other : platform.displays.onlineDisplays())
        if (other != display && platform.displays.mirrorsDisplay(other) == display)
            if (auto mode = platform.displays.currentMode(other)) return mode;
    return std::nullopt;
}

void MacCapture::setFrameRate(int64_t fps) {
    if (fps <= 0 || fps == frameRate) return;
    frameRate = fps;
    log("采集帧率 " + std::to_string(fps));
    streamConfig.minimumFrameIntervalTimescale = int32_t(fps);
    if (stream) stream->updateConfiguration(streamConfig);
}

void MacCapture::startStream(DisplayID target, DisplayID chosen, Cancelled cancelled, AttemptDone done) {
    DisplayMode points = platform.displays.bounds(chosen).value_or(DisplayMode{});
    DisplayMode pixels = pixelMode(chosen).value_or(points);
    int64_t pixelWidth = pixels.pixelWidth > 0 ? pixels.pixelWidth : points.width;
    int64_t pixelHeight = pixels.pixelHeight > 0 ? pixels.pixelHeight : points.height;
    PixelSize output = outputSize(int(pixelWidth), int(pixelHeight), quality);
    log("采集显示器 id=" + std::to_string(chosen) + " target=" + std::to_string(target) +
        " main=" + std::to_string(platform.displays.mainDisplay()) +
        " points=" + size(points.width, points.height) + " pixels=" + size(pixelWidth, pixelHeight) +
        " output=" + size(output.width, output.height) + " requested=" + viewportSession.current.text() +
        " mirror=" + flag(mirroring) + " standby=" + flag(standby) +
        " lidClosed=" + flag(platform.session.lidClosed()) + " systemSharing=" + flag(screenSharingSeen));

    StreamConfiguration config;
    config.width = output.width;
    config.height = output.height;
    config.minimumFrameIntervalTimescale = int32_t(frameRate);
    auto weak = weak_from_this();
    // The stream's identity for its stop report; set below, before that report can be handled.
    auto identity = std::make_shared<const CaptureStream*>(nullptr);
    auto started = platform.capture.startStream(
        chosen, config, queue,
        [weak, output](CaptureSample sample) {
            if (auto self = weak.lock()) self->handleSample(std::move(sample), output.width, output.height);
        },
        [weak, identity](std::string reason) {
            mainQueue().post([weak, identity, reason] {
                if (auto self = weak.lock()) self->streamStopped(*identity, reason);
            });
        });
    if (!started) return done(Error{started.error()});
    *identity = started.value().get();
    if (cancelled()) {
        started.value()->stop();
        return done(Error{"采集已停止"});
    }
    auto previous = std::exchange(stream, started.value());
    streamConfig = config;
    displayID = chosen;
    streamFailed = false;
    if (virtualDisplay && chosen != virtualDisplay->displayID() && screenSharingSeen) {
        ++viewportGeneration;
        viewportChange.cancel();
        log("系统屏幕共享已接管显示器 " + std::to_string(chosen) + "，释放 Quorlinth 虚拟屏 " +
            std::to_string(virtualDisplay->displayID()));
        releaseVirtualDisplay();
    }
    if (previous) previous->stop();
    done(Result<void>());
}

// MARK: frames

void MacCapture::handleSample(CaptureSample sample, int outputWidth, int outputHeight) {
    if (!sample.screenOutput || !sample.valid || !sample.dataReady || !sample.image) return;
    if (sample.status != FrameStatus::complete) return;
    SharedPixels pixels = scaler.scale(sample.image, outputWidth, outputHeight);
    if (pixels && onFrame) onFrame({std::move(pixels), sample.timestampNs});
}

void MacCapture::streamStopped(const CaptureStream* stopped, const std::string& reason) {
    if (!running || !stream || stream.get() != stopped) return;
    log("采集流已停止：" + reason);
    streamFailed = true;
    scheduleRestart();
}

// MARK: follow loop

void MacCapture::scheduleRestart() {
    if (!running) return;
    uint64_t generation = ++restartGeneration;
    following = true;
    restart = mainQueue().after(timings.followFirstWait, [weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) self->followStep(generation, 1);
    });
}

bool MacCapture::followCancelled(uint64_t generation) const {
    return !running || generation != restartGeneration;
}

void MacCapture::followStep(uint64_t generation, int attempt) {
    if (followCancelled(generation)) {
        // A superseded task leaves `following` to the task that replaced it.
        if (generation == restartGeneration) following = false;
        return;
    }
    if (!streamFailed && displayID == expectedDisplay() && arrangementCheck()) {
        if (onWaiting) onWaiting(std::nullopt);
        following = false;
        return;
    }
    auto weak = weak_from_this();
    auto cancelled = [weak, generation] {
        auto self = weak.lock();
        return !self || self->followCancelled(generation);
    };
    startAttempt(cancelled, [weak, generation, attempt](Result<void> result) {
        auto self = weak.lock();
        if (!self) return;
        if (self->followCancelled(generation)) {
            if (generation == self->restartGeneration) self->following = false;
            return;
        }
        if (!result) return self->followFailed(generation, attempt, result.error());
        std::string name = self->platform.displays.localizedName(self->displayID);
        if (name.empty()) name = kMainDisplayName;
        if (self->onWaiting) self->onWaiting(std::nullopt);
        if (self->onDisplayChange) self->onDisplayChange(name);
        self->following = false;
    });
}

void MacCapture::followFailed(uint64_t generation, int attempt, const std::string& reason) {
    if (screenSharingSeen && virtualDisplay && stream && !streamFailed) {
        following = false;
        return;
    }
    if (locked) {
        if (onWaiting) onWaiting(reason);
    } else if (attempt >= timings.failuresBeforeGivingUp) {
        following = false;
        if (onFailure) onFailure("找不到可共享的显示器，屏幕共享已停止（" + reason + "）。");
        return;
    }
    restart = mainQueue().after(locked ? timings.retryLocked : timings.retryUnlocked,
                                [weak = weak_from_this(), generation, attempt] {
                                    if (auto self = weak.lock()) self->followStep(generation, attempt + 1);
                                });
}

// MARK: arrangement

std::vector<DisplayID> MacCapture::activeDisplaysExcept(DisplayID except) {
    std::vector<DisplayID> result;
    for (DisplayID id : platform.displays.activeDisplays())
        if ((except == 0 || id != except) && !platform.displays.isAsleep(id)) result.push_back(id);
    return result;
}

std::vector<DisplayID> MacCapture::capturableDisplays() {
    std::vector<DisplayID> result = activeDisplaysExcept(virtualDisplay ? virtualDisplay->displayID() : 0);
    if (platform.session.lidClosed())
        std::erase_if(result, [this](DisplayID id) { return platform.displays.isBuiltin(id); });
    return result;
}

DisplayID MacCapture::firstRealDisplay(const std::vector<DisplayID>& active) {
    DisplayID main = platform.displays.mainDisplay();
    return contains(active, main) ? main : active.front();
}

DisplayID MacCapture::expectedDisplay() {
    return virtualDisplay && !standby ? virtualDisplay->displayID() : platform.displays.mainDisplay();
}

bool MacCapture::virtualRetryBlocked() {
    return platform.now() < virtualRetryAfter;
}

bool MacCapture::arrangementCheck() {
    ArrangementInputs in;
    in.systemSharing = readSystemSharing();
    in.capturableDisplays = !capturableDisplays().empty();
    in.mirroring = mirroring;
    in.standby = standby;
    in.activeRealDisplays =
        int(activeDisplaysExcept(virtualDisplay ? virtualDisplay->displayID() : 0).size());
    in.virtualDisplay = virtualDisplay != nullptr;
    // Where a real display's own mode shows a controller's resolution, the arrangement is as if
    // no controller asked for one and no lid could send the picture to a standby display.
    bool mirrors = platform.displays.canMirror();
    in.lidClosed = platform.session.lidClosed() && mirrors;
    in.retryWindowOpen = virtualRetryBlocked();
    in.fit = viewportSession.current.fit && mirrors;
    return arrangementStays(in);
}

void MacCapture::showViewportOnRealDisplay(DisplayID real, const MacViewport& viewport) {
    if (userMode && (!viewport.fit || userMode->display != real)) restoreUserMode();
    if (!viewport.fit) return;
    auto current = platform.displays.currentMode(real);
    int64_t scale = viewport.hiDPI ? 2 : 1;
    DisplayMode wanted{viewport.width, viewport.height, viewport.width * scale, viewport.height * scale};
    if (!current || (current->pixelWidth == wanted.pixelWidth && current->pixelHeight == wanted.pixelHeight))
        return;
    int code = platform.displays.applyMode(real, wanted);
    if (code != 0) {
        // The screen's abilities do not change: saying so once is enough.
        if (!modeRefusalLogged)
            log("显示器 " + std::to_string(real) + " 无法切换到 " + viewport.text() +
                "，保持当前分辨率 result=" + std::to_string(code));
        modeRefusalLogged = true;
        return;
    }
    if (!userMode) userMode = ShownMode{real, *current};
    log("手机专用分辨率 " + viewport.text() + "：显示器 " + std::to_string(real) + " 切换分辨率");
}

void MacCapture::restoreUserMode() {
    auto shown = std::exchange(userMode, std::nullopt);
    if (!shown) return;
    int code = platform.displays.applyMode(shown->display, shown->mode);
    log("恢复显示器 " + std::to_string(shown->display) + " 的分辨率 result=" + std::to_string(code));
}

bool MacCapture::mirror(DisplayID display, DisplayID master, const std::string& prefix) {
    int code = platform.displays.configureMirror(display, master);
    log(prefix + "：显示器 " + std::to_string(display) + " 镜像 " + std::to_string(master) +
        " result=" + std::to_string(code));
    return code == 0;
}

void MacCapture::virtualCreationFailed() {
    log("虚拟屏创建失败");
    virtualRetryAfter = platform.now() + timings.virtualRetryBlock;
}

void MacCapture::createVirtualDisplay(const MacViewport& viewport, Cancelled cancelled,
                                      std::function<void(std::shared_ptr<MacVirtualDisplayProcess>)> done) {
    if (virtualRetryBlocked() || !platform.launchVirtualDisplay) return done(nullptr);
    platform.launchVirtualDisplay(
        viewport, launchCancel,
        [weak = weak_from_this(), cancelled, done](std::shared_ptr<MacVirtualDisplayProcess> process) {
            auto self = weak.lock();
            if (!self || cancelled()) {
                if (process) process->stop();
                if (self) done(nullptr);
                return;
            }
            if (!process) self->virtualCreationFailed();
            done(process);
        });
}

void MacCapture::adoptVirtualDisplay(std::shared_ptr<MacVirtualDisplayProcess> process) {
    virtualDisplay = std::move(process);
    if (onVirtualDisplay) onVirtualDisplay(true);
}

void MacCapture::releaseVirtualDisplay() {
    if (!virtualDisplay) return;
    DisplayID virtualID = virtualDisplay->displayID();
    if (mirroredDisplay != 0 && platform.displays.mirrorsDisplay(mirroredDisplay) == virtualID)
        mirror(mirroredDisplay, 0, "解除 Quorlinth 建立的镜像");
    virtualDisplay->stop();
    virtualDisplay.reset();
    mirroring = false;
    standby = false;
    mirroredDisplay = 0;
    if (onVirtualDisplay) onVirtualDisplay(false);
}

void MacCapture::arrangeVirtualDisplay(Cancelled cancelled, Continue next) {
    DisplayID virtualID = virtualDisplay ? virtualDisplay->displayID() : 0;
    std::vector<DisplayID> active = activeDisplaysExcept(virtualID);
    MacViewport viewport = viewportSession.current;
    // Without mirroring neither a controller's resolution nor a closed lid calls for a virtual
    // display: the former becomes a mode of the real display, the latter has no standby.
    bool mirrors = platform.displays.canMirror();
    bool fitByMirror = viewport.fit && mirrors;
    bool lid = platform.session.lidClosed() && mirrors;
    auto weak = weak_from_this();
    if (!mirrors && !active.empty()) showViewportOnRealDisplay(firstRealDisplay(active), viewport);

    // A virtual display nobody needs any more: a real display is back and no controller asks for
    // its own resolution.
    if (virtualDisplay && !active.empty() && !fitByMirror && (mirroring || (!lid && !standby))) {
        log("释放 Quorlinth 虚拟屏 " + std::to_string(virtualID));
        releaseVirtualDisplay();
        return next();
    }
    if (fitByMirror && !active.empty() && !virtualDisplay) {
        DisplayID real = firstRealDisplay(active);
        return createVirtualDisplay(viewport, cancelled, [weak, viewport, real, next](auto process) {
            auto self = weak.lock();
            if (!self) return;
            if (process) {
                if (self->mirror(real, process->displayID(), "手机专用分辨率 " + viewport.text())) {
                    self->mirroredDisplay = real;
                    self->mirroring = true;
                    self->adoptVirtualDisplay(process);
                } else {
                    process->stop();
                    self->virtualCreationFailed();
                }
            }
            next();
        });
    }
    if (active.empty() && !virtualDisplay) {
        return createVirtualDisplay(viewport, cancelled, [weak, viewport, next](auto process) {
            auto self = weak.lock();
            if (!self) return;
            if (process) {
                self->adoptVirtualDisplay(process);
                self->log("虚拟屏 " + viewport.text() + " id=" + std::to_string(process->displayID()));
            }
            next();
        });
    }
    if (lid && !active.empty() && !fitByMirror && !standby && !mirroring) {
        DisplayID real = firstRealDisplay(active);
        auto realMode = platform.displays.currentMode(real);
        if (virtualDisplay) {
            auto virtualMode = platform.displays.currentMode(virtualID);
            if (realMode && virtualMode && viewportOf(*realMode) == viewportOf(*virtualMode) &&
                mirror(virtualID, real, "合盖：虚拟屏退到后备"))
                standby = true;
            return next();
        }
        if (realMode && !virtualRetryBlocked()) {
            return createVirtualDisplay(viewportOf(*realMode), cancelled, [weak, real, next](auto process) {
                auto self = weak.lock();
                if (!self) return;
                if (process) {
                    if (self->mirror(process->displayID(), real, "合盖：后备虚拟屏")) {
                        self->standby = true;
                        self->adoptVirtualDisplay(process);
                    } else {
                        process->stop();
                        self->virtualCreationFailed();
                    }
                }
                next();
            });
        }
    }
    if (standby && active.empty()) {
        standby = false;
        log("合盖：原显示器已消失，改用虚拟屏");
    }
    next();
}

// MARK: viewport

void MacCapture::applyViewport() {
    uint64_t change = ++viewportGeneration;
    viewportChange.cancel();
    if (running) readSystemSharing();
    MacViewport requested = viewportSession.current;
    if (virtualDisplay && !standby) {
        log("虚拟屏改为 " + requested.text());
        auto settle = [weak = weak_from_this(), requested, change] {
            auto self = weak.lock();
            if (!self || change != self->viewportGeneration) return;
            self->viewportChange = mainQueue().after(self->timings.viewportSettle, [weak, requested, change] {
                if (auto self = weak.lock()) self->applyViewportTo(requested, change);
            });
        };
        // The new display is made only after the previous change has finished making its own.
        if (viewportLaunchesInFlight > 0) {
            afterViewportLaunch.push_back(settle);
        } else {
            settle();
        }
        return;
    }
    log(requested.fit ? "手机专用分辨率 " + requested.text() : "结束手机专用分辨率");
    streamFailed = true;
    scheduleRestart();
}

void MacCapture::applyViewportTo(const MacViewport& requested, uint64_t change) {
    auto previous = virtualDisplay;
    if (change != viewportGeneration || !running || !(viewportSession.current == requested) || !previous)
        return;
    if (readSystemSharing()) return;
    ++viewportLaunchesInFlight;
    platform.launchVirtualDisplay(requested, launchCancel,
                                  [weak = weak_from_this(), requested, change,
                                   previous](std::shared_ptr<MacVirtualDisplayProcess> process) {
                                      auto self = weak.lock();
                                      if (!self) {
                                          if (process) process->stop();
                                          return;
                                      }
                                      --self->viewportLaunchesInFlight;
                                      if (!process) {
                                          self->log("虚拟屏创建失败 " + requested.text());
                                      } else if (change != self->viewportGeneration || !self->running ||
                                                 self->virtualDisplay != previous) {
                                          process->stop();
                                      } else if (self->mirroring &&
                                                 !self->mirror(self->mirroredDisplay, process->displayID(),
                                                               "手机专用分辨率 " + requested.text())) {
                                          process->stop();
                                      } else {
                                          self->virtualDisplay = process;
                                          previous->stop();
                                          self->streamFailed = true;
                                          self->scheduleRestart();
                                      }
                                      for (auto& waiting : std::exchange(self->afterViewportLaunch, {}))
                                          waiting();
                                  });
}

void MacCapture::viewerLeft() {
    if (!viewportSession.restore()) return;
    log("控制端离开：恢复虚拟屏基准 " + viewportSession.current.text());
    applyViewport();
}

// MARK: lock and events

void MacCapture::setLocked(bool value) {
    if (value == locked) return;
    locked = value;
    if (onLockChange) onLockChange(value);
    if (!value) {
        if (!stream) streamFailed = true;
        scheduleRestart();
    }
}

void MacCapture::handleSessionEvent(SessionEvent event) {
    if (!running) return;
    switch (event) {
    case SessionEvent::screenLocked:
        if (!locked) {
            locked = true;
            if (onLockChange) onLockChange(true);
        }
        break;
    case SessionEvent::screenUnlocked:
        setLocked(false);
        break;
    default:
        scheduleRestart();
        break;
    }
}

void MacCapture::installObservers() {
    auto weak = weak_from_this();
    observers.push_back(platform.displays.observeChanges([weak] {
        mainQueue().post([weak] {
            if (auto self = weak.lock()) self->scheduleRestart();
        });
    }));
    observers.push_back(platform.session.observe([weak](SessionEvent event) {
        mainQueue().post([weak, event] {
            if (auto self = weak.lock()) self->handleSessionEvent(event);
        });
    }));
    displayCheck = mainQueue().every(timings.displayCheckPeriod, timings.displayCheckPeriod, [weak] {
        auto self = weak.lock();
        if (self && self->running && !self->following && !self->arrangementCheck()) self->scheduleRestart();
    });
}

} // namespace quorlinth
