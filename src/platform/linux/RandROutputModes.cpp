#include "platform/linux/RandROutputModes.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <memory>
#include <string>
#include <unistd.h>

namespace quorlinth {

namespace {

// Five CARDINALs per changed output: owner pid, output, user's mode, shown mode, shown-is-ours.
constexpr const char* kRecordProperty = "_QUORLINTH_USER_MODES";
constexpr int kRecordFields = 5;
constexpr int kRefreshRate = 60;

struct FreeResources {
    void operator()(XRRScreenResources* resources) const { XRRFreeScreenResources(resources); }
};
struct FreeOutput {
    void operator()(XRROutputInfo* info) const { XRRFreeOutputInfo(info); }
};
struct FreeCrtc {
    void operator()(XRRCrtcInfo* info) const { XRRFreeCrtcInfo(info); }
};
using Resources = std::unique_ptr<XRRScreenResources, FreeResources>;
using OutputInfo = std::unique_ptr<XRROutputInfo, FreeOutput>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, FreeCrtc>;

const XRRModeInfo* modeInfo(const XRRScreenResources& resources, RRMode mode) {
    for (int k = 0; k < resources.nmode; ++k)
        if (resources.modes[k].id == mode) return &resources.modes[k];
    return nullptr;
}

// The output and the CRTC that drives it; both empty when the output is not shown.
struct Shown {
    OutputInfo output;
    CrtcInfo crtc;
};

Shown shown(Display* display, XRRScreenResources* resources, RROutput output) {
    Shown result;
    result.output.reset(XRRGetOutputInfo(display, resources, output));
    if (result.output && result.output->crtc != None)
        result.crtc.reset(XRRGetCrtcInfo(display, resources, result.output->crtc));
    if (!result.crtc || result.crtc->mode == None) result = {};
    return result;
}

bool sideways(Rotation rotation) {
    return (rotation & (RR_Rotate_90 | RR_Rotate_270)) != 0;
}

struct Box {
    int width = 0;
    int height = 0;
    void cover(int x, int y, int w, int h) {
        width = std::max(width, x + w);
        height = std::max(height, y + h);
    }
};

// Timings in the manner of reduced blanking, which every driver that takes user modes accepts.
XRRModeInfo* newModeInfo(const std::string& name, int width, int height) {
    XRRModeInfo* info = XRRAllocModeInfo(name.c_str(), int(name.size()));
    info->width = unsigned(width);
    info->height = unsigned(height);
    info->hSyncStart = unsigned(width + 48);
    info->hSyncEnd = unsigned(width + 80);
    info->hTotal = unsigned(width + 160);
    info->vSyncStart = unsigned(height + 3);
    info->vSyncEnd = unsigned(height + 8);
    info->vTotal = unsigned(height + std::max(14, height * 28 / 1000 + 10));
    info->dotClock = (unsigned long)info->hTotal * info->vTotal * kRefreshRate;
    info->modeFlags = RR_HSyncPositive | RR_VSyncNegative;
    return info;
}

bool running(unsigned long pid) {
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno != ESRCH);
}

} // namespace

RandROutputModes::~RandROutputModes() {
    if (!connection.broken()) restoreAll();
}

int RandROutputModes::apply(unsigned long output, int width, int height) {
    Window root = DefaultRootWindow(display);
    Resources resources(XRRGetScreenResourcesCurrent(display, root));
    if (!resources || width <= 0 || height <= 0) return kCannotChange;
    Shown now = shown(display, resources.get(), output);
    if (!now.crtc) return kCannotChange;
    auto known = changes.find(output);
    Change change = known != changes.end() ? known->second : Change{now.crtc->mode, 0, false};
    const XRRModeInfo* user = modeInfo(*resources, change.userMode);
    bool added = false;
    RRMode target = user && int(user->width) == width && int(user->height) == height
                        ? change.userMode
                        : findOrAddMode(output, width, height, added);
    if (target == None) return kCannotChange;
    if (target == now.crtc->mode) return 0;
    if (!show(output, target)) {
        if (added) removeMode(output, target);
        return kCannotChange;
    }
    if (change.shownAdded && change.shownMode != target) removeMode(output, change.shownMode);
    if (target == change.userMode) {
        changes.erase(output);
    } else {
        changes[output] = Change{change.userMode, target, added};
    }
    saveChanges();
    return 0;
}

void RandROutputModes::restoreAll() {
    for (const auto& [output, change] : changes)
        restore(output, change);
    bool hadChanges = !changes.empty();
    changes.clear();
    if (hadChanges) saveChanges();
}

void RandROutputModes::restoreAbandoned() {
    std::vector<Record> kept;
    bool restored = false;
    for (const Record& record : readRecords()) {
        if (running(record.owner)) {
            kept.push_back(record);
            continue;
        }
        restore(record.output, record.change);
        restored = true;
    }
    if (restored) writeRecords(kept);
}

bool RandROutputModes::show(unsigned long output, unsigned long mode) {
    Window root = DefaultRootWindow(display);
    Resources resources(XRRGetScreenResourcesCurrent(display, root));
    if (!resources) return false;
    Shown target = shown(display, resources.get(), output);
    const XRRModeInfo* info = modeInfo(*resources, mode);
    if (!target.crtc || !info) return false;
    int width = int(sideways(target.crtc->rotation) ? info->height : info->width);
    int height = int(sideways(target.crtc->rotation) ? info->width : info->height);

    // The screen must hold every shown output once this one has its new size.
    Box needed;
    for (int c = 0; c < resources->ncrtc; ++c) {
        if (resources->crtcs[c] == target.output->crtc) continue;
        CrtcInfo other(XRRGetCrtcInfo(display, resources.get(), resources->crtcs[c]));
        if (other && other->mode != None)
            needed.cover(other->x, other->y, int(other->width), int(other->height));
    }
    needed.cover(target.crtc->x, target.crtc->y, width, height);
    int minWidth, minHeight, maxWidth, maxHeight;
    if (!XRRGetScreenSizeRange(display, root, &minWidth, &minHeight, &maxWidth, &maxHeight) ||
        needed.width > maxWidth || needed.height > maxHeight)
        return false;
    needed.width = std::max(needed.width, minWidth);
    needed.height = std::max(needed.height, minHeight);

    // Xlib's idea of the screen size is the one at connection time; the root knows the present.
    Window ignoredRoot;
    int ignoredX, ignoredY;
    unsigned rootWidth, rootHeight, ignoredBorder, ignoredDepth;
    if (!XGetGeometry(display, root, &ignoredRoot, &ignoredX, &ignoredY, &rootWidth, &rootHeight,
                      &ignoredBorder, &ignoredDepth))
        return false;
    int oldWidth = int(rootWidth), oldHeight = int(rootHeight);
    // Keeps the physical size per pixel the screen had at connection time, so its DPI stays.
    int screen = DefaultScreen(display);
    auto resize = [&](int w, int h) {
        XRRSetScreenSize(display, root, w, h,
                         DisplayWidthMM(display, screen) * w / DisplayWidth(display, screen),
                         DisplayHeightMM(display, screen) * h / DisplayHeight(display, screen));
    };
    X11Connection::takeLastError();
    XGrabServer(display);
    int grownWidth = std::max(oldWidth, needed.width), grownHeight = std::max(oldHeight, needed.height);
    if (grownWidth != oldWidth || grownHeight != oldHeight) resize(grownWidth, grownHeight);
    Status status = XRRSetCrtcConfig(display, resources.get(), target.output->crtc, CurrentTime,
                                     target.crtc->x, target.crtc->y, mode, target.crtc->rotation,
                                     target.crtc->outputs, target.crtc->noutput);
    bool switched = status == RRSetConfigSuccess;
    int finalWidth = switched ? needed.width : oldWidth, finalHeight = switched ? needed.height : oldHeight;
    if (finalWidth != grownWidth || finalHeight != grownHeight) resize(finalWidth, finalHeight);
    XUngrabServer(display);
    XSync(display, False);
    return X11Connection::takeLastError() == 0 && switched;
}

unsigned long RandROutputModes::findOrAddMode(unsigned long output, int width, int height, bool& added) {
    Window root = DefaultRootWindow(display);
    Resources resources(XRRGetScreenResourcesCurrent(display, root));
    if (!resources) return None;
    OutputInfo info(XRRGetOutputInfo(display, resources.get(), output));
    if (!info) return None;
    for (int m = 0; m < info->nmode; ++m) {
        const XRRModeInfo* mode = modeInfo(*resources, info->modes[m]);
        if (mode && int(mode->width) == width && int(mode->height) == height) return mode->id;
    }
    // Ours, by name: one left by an earlier run or shown on another output is used again.
    std::string name = std::to_string(width) + "x" + std::to_string(height) + "_quorlinth";
    RRMode mode = None;
    for (int k = 0; k < resources->nmode && mode == None; ++k)
        if (std::string(resources->modes[k].name, resources->modes[k].nameLength) == name)
            mode = resources->modes[k].id;
    X11Connection::takeLastError();
    if (mode == None) {
        XRRModeInfo* wanted = newModeInfo(name, width, height);
        mode = XRRCreateMode(display, root, wanted);
        XRRFreeModeInfo(wanted);
        XSync(display, False);
        if (X11Connection::takeLastError() != 0) return None;
    }
    XRRAddOutputMode(display, output, mode);
    XSync(display, False);
    if (X11Connection::takeLastError() != 0) {
        removeMode(output, mode);
        return None;
    }
    added = true;
    return mode;
}

void RandROutputModes::removeMode(unsigned long output, unsigned long mode) {
    XRRDeleteOutputMode(display, output, mode);
    // Refused while another output still offers the mode; that output's owner removes it.
    XRRDestroyMode(display, mode);
    XSync(display, False);
    X11Connection::takeLastError();
}

void RandROutputModes::restore(unsigned long output, const Change& change) {
    Resources resources(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)));
    if (!resources) return;
    // A mode the user picked since then stays.
    Shown now = shown(display, resources.get(), output);
    if (now.crtc && now.crtc->mode == change.shownMode) show(output, change.userMode);
    if (change.shownAdded) removeMode(output, change.shownMode);
}

std::vector<RandROutputModes::Record> RandROutputModes::readRecords() {
    std::vector<Record> records;
    Atom property = XInternAtom(display, kRecordProperty, True);
    if (property == None) return records;
    Atom type;
    int format;
    unsigned long items, remaining;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 4096, False, XA_CARDINAL, &type,
                           &format, &items, &remaining, &data) == Success &&
        data && format == 32) {
        auto* values = reinterpret_cast<unsigned long*>(data);
        for (unsigned long i = 0; i + kRecordFields <= items; i += kRecordFields)
            records.push_back({values[i], values[i + 1], {values[i + 2], values[i + 3], values[i + 4] != 0}});
    }
    if (data) XFree(data);
    return records;
}

void RandROutputModes::writeRecords(const std::vector<Record>& records) {
    Atom property = XInternAtom(display, kRecordProperty, False);
    Window root = DefaultRootWindow(display);
    if (records.empty()) {
        XDeleteProperty(display, root, property);
    } else {
        std::vector<unsigned long> values;
        for (const Record& r : records)
            values.insert(values.end(), {r.owner, r.output, r.change.userMode, r.change.shownMode,
                                         (unsigned long)r.change.shownAdded});
        XChangeProperty(display, root, property, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(values.data()), int(values.size()));
    }
    XSync(display, False);
}

void RandROutputModes::saveChanges() {
    unsigned long self = (unsigned long)getpid();
    std::vector<Record> records = readRecords();
    std::erase_if(records, [self](const Record& r) { return r.owner == self; });
    for (const auto& [output, change] : changes)
        records.push_back({self, output, change});
    writeRecords(records);
}

} // namespace quorlinth
