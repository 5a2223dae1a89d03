#include "platform/linux/RandRDisplayServices.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/dpms.h>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace quorlinth {

namespace {

constexpr const char* kSocketFolder = "/tmp/.X11-unix";

// The monitor name from a base EDID block: the display descriptor tagged 0xFC.
std::string edidName(const unsigned char* edid, unsigned long length) {
    if (length < 128) return {};
    for (int offset = 54; offset + 18 <= 126; offset += 18) {
        const unsigned char* block = edid + offset;
        if (block[0] != 0 || block[1] != 0 || block[3] != 0xFC) continue;
        std::string name(reinterpret_cast<const char*>(block + 5), 13);
        name = name.substr(0, name.find('\n'));
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        return name;
    }
    return {};
}

std::string outputEdidName(Display* display, RROutput output) {
    Atom edidAtom = XInternAtom(display, RR_PROPERTY_RANDR_EDID, True);
    if (edidAtom == None) return {};
    unsigned char* data = nullptr;
    Atom type;
    int format;
    unsigned long items, remaining;
    std::string name;
    if (XRRGetOutputProperty(display, output, edidAtom, 0, 128, False, False, AnyPropertyType, &type, &format,
                             &items, &remaining, &data) == Success &&
        data && format == 8)
        name = edidName(data, items);
    if (data) XFree(data);
    return name;
}

bool displayAsleep(Display* display) {
    int event, error;
    if (!DPMSQueryExtension(display, &event, &error) || !DPMSCapable(display)) return false;
    CARD16 level = DPMSModeOn;
    BOOL enabled = False;
    return DPMSInfo(display, &level, &enabled) && enabled && level != DPMSModeOn;
}

std::string socketPath(int number) {
    return std::string(kSocketFolder) + "/X" + std::to_string(number);
}

class ChangeWatch : public Observation {
public:
    ChangeWatch(std::unique_ptr<X11Connection> connection, std::function<void()> changed)
        : connection(std::move(connection)), changed(std::move(changed)) {
        Display* display = this->connection->get();
        XRRSelectInput(display, DefaultRootWindow(display),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XFlush(display);
        worker = std::thread([this] { run(); });
    }
    ~ChangeWatch() override {
        stopping = true;
        worker.join();
    }

private:
    void run() {
        Display* display = connection->get();
        while (!stopping && !connection->broken()) {
            pollfd ready{ConnectionNumber(display), POLLIN, 0};
            if (XPending(display) == 0 && poll(&ready, 1, 200) <= 0) continue;
            bool any = false;
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                any = true;
            }
            if (any && !stopping) changed();
        }
    }

    std::unique_ptr<X11Connection> connection;
    std::function<void()> changed;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace

std::unique_ptr<RandRDisplayServices> RandRDisplayServices::open(const std::string& server) {
    auto connection = X11Connection::open(server);
    if (!connection) return nullptr;
    std::string name = DisplayString(connection->get());
    auto services =
        std::unique_ptr<RandRDisplayServices>(new RandRDisplayServices(name, std::move(connection)));
    services->outputModes.restoreAbandoned();
    return services;
}

void RandRDisplayServices::readServer(Snapshot& into) {
    Display* display = connection->get();
    Window root = DefaultRootWindow(display);
    into.asleep = displayAsleep(display);
    int event, error;
    XRRScreenResources* resources =
        XRRQueryExtension(display, &event, &error) ? XRRGetScreenResourcesCurrent(display, root) : nullptr;
    if (resources) {
        into.primary = DisplayID(XRRGetOutputPrimary(display, root));
        for (int i = 0; i < resources->noutput; ++i) {
            XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
            if (!info) continue;
            if (info->connection == RR_Connected) {
                Output output;
                output.id = DisplayID(resources->outputs[i]);
                output.connector = std::string(info->name, size_t(info->nameLen));
                output.name = outputEdidName(display, resources->outputs[i]);
                if (output.name.empty()) output.name = output.connector;
                output.serverName = server;
                if (info->crtc != None) {
                    if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
                        output.active = crtc->mode != None;
                        output.x = crtc->x;
                        output.y = crtc->y;
                        output.width = int(crtc->width);
                        output.height = int(crtc->height);
                        XRRFreeCrtcInfo(crtc);
                    }
                }
                for (int m = 0; m < info->nmode; ++m)
                    for (int k = 0; k < resources->nmode; ++k)
                        if (resources->modes[k].id == info->modes[m]) {
                            int64_t w = resources->modes[k].width, h = resources->modes[k].height;
                            output.modes.push_back({w, h, w, h});
                        }
                // An output showing exactly the area of an earlier one mirrors it.
                for (const Output& earlier : into.outputs)
                    if (output.active && earlier.active && earlier.mirrors == 0 && earlier.x == output.x &&
                        earlier.y == output.y && earlier.width == output.width &&
                        earlier.height == output.height)
                        output.mirrors = earlier.id;
                into.outputs.push_back(std::move(output));
            }
            XRRFreeOutputInfo(info);
        }
        XRRFreeScreenResources(resources);
    }
    if (into.outputs.empty()) {
        // A server without RandR outputs: its one screen is the display.
        Output whole;
        whole.id = DisplayID(root);
        whole.name = whole.connector = "screen";
        whole.active = true;
        whole.width = DisplayWidth(display, DefaultScreen(display));
        whole.height = DisplayHeight(display, DefaultScreen(display));
        whole.modes.push_back({whole.width, whole.height, whole.width, whole.height});
        whole.serverName = server;
        into.outputs.push_back(whole);
    }
    bool primaryShown = std::any_of(into.outputs.begin(), into.outputs.end(), [&](const Output& o) {
        return o.id == into.primary && o.active && o.mirrors == 0;
    });
    if (!primaryShown) {
        into.primary = 0;
        for (const Output& o : into.outputs)
            if (o.active && o.mirrors == 0) {
                into.primary = o.id;
                break;
            }
    }
}

void RandRDisplayServices::readVirtualDisplays(Snapshot& into) {
    // Xlib ends the process when a server dies while a connection to it is being opened, so a
    // virtual server is connected to once, while it runs, and never again after that connection
    // broke: its display is gone then (and so is its marker, which a killed child leaves behind).
    std::map<int, std::unique_ptr<X11Connection>> seen;
    pid_t self = getpid();
    for (int number : virtualDisplayMarkers(self)) {
        auto known = virtualServers.find(number);
        std::unique_ptr<X11Connection> connection;
        if (known != virtualServers.end()) {
            connection = std::move(known->second);
        } else if (virtualDisplayServerRunning(self, number) &&
                   access(socketPath(number).c_str(), F_OK) == 0) {
            connection = X11Connection::open(":" + std::to_string(number));
        }
        std::optional<Output> output;
        if (connection && !connection->broken()) output = readVirtualDisplay(*connection, number);
        if (!output || connection->broken()) {
            if (!connection || connection->broken() || !virtualDisplayServerRunning(self, number))
                unlink(virtualDisplayMarker(self, number).c_str());
            continue;
        }
        into.outputs.push_back(*output);
        seen[number] = std::move(connection);
    }
    virtualServers = std::move(seen);
}

std::optional<RandRDisplayServices::Output>
RandRDisplayServices::readVirtualDisplay(X11Connection& connection, int number) {
    Display* display = connection.get();
    Window root = DefaultRootWindow(display);
    Atom property = XInternAtom(display, kVirtualDisplayProperty, True);
    Atom type;
    int format;
    unsigned long items, remaining;
    unsigned char* data = nullptr;
    std::optional<DisplayMode> points;
    if (property != None &&
        XGetWindowProperty(display, root, property, 0, 5, False, XA_CARDINAL, &type, &format, &items,
                           &remaining, &data) == Success &&
        data && format == 32 && items == 5) {
        auto* values = reinterpret_cast<unsigned long*>(data);
        if (pid_t(values[4]) == getpid()) points = DisplayMode{int64_t(values[0]), int64_t(values[1]), 0, 0};
    }
    if (data) XFree(data);
    if (!points || connection.broken()) return std::nullopt;
    Output output;
    output.id = virtualDisplayID(number);
    char* title = nullptr;
    if (XFetchName(display, root, &title) && title) output.name = title;
    if (title) XFree(title);
    output.connector = "virtual";
    output.serverName = ":" + std::to_string(number);
    output.active = true;
    output.width = DisplayWidth(display, DefaultScreen(display));
    output.height = DisplayHeight(display, DefaultScreen(display));
    points->pixelWidth = output.width;
    points->pixelHeight = output.height;
    output.modes.push_back(*points);
    return output;
}

RandRDisplayServices::Snapshot RandRDisplayServices::snapshot() {
    std::lock_guard lock(mutex);
    Snapshot now;
    if (!connection->broken()) readServer(now);
    readVirtualDisplays(now);
    return now;
}

std::optional<RandRDisplayServices::Output> RandRDisplayServices::find(DisplayID display) {
    for (auto& output : snapshot().outputs)
        if (output.id == display) return output;
    return std::nullopt;
}

std::optional<RandRDisplayServices::Location> RandRDisplayServices::locate(DisplayID display) {
    auto output = find(display);
    if (!output || !output->active) return std::nullopt;
    return Location{output->serverName, output->x, output->y, output->width, output->height};
}

DisplayID RandRDisplayServices::mainDisplay() {
    return snapshot().primary;
}

std::vector<DisplayID> RandRDisplayServices::activeDisplays() {
    std::vector<DisplayID> ids;
    for (const auto& output : snapshot().outputs)
        if (output.active && output.mirrors == 0) ids.push_back(output.id);
    return ids;
}

std::vector<DisplayID> RandRDisplayServices::onlineDisplays() {
    std::vector<DisplayID> ids;
    for (const auto& output : snapshot().outputs)
        ids.push_back(output.id);
    return ids;
}

bool RandRDisplayServices::isOnline(DisplayID display) {
    return find(display).has_value();
}

bool RandRDisplayServices::isAsleep(DisplayID display) {
    if (virtualDisplayNumber(display)) return false;
    return snapshot().asleep;
}

bool RandRDisplayServices::isBuiltin(DisplayID display) {
    auto output = find(display);
    if (!output) return false;
    for (const char* prefix : {"eDP", "LVDS", "DSI"})
        if (output->connector.rfind(prefix, 0) == 0) return true;
    return false;
}

std::optional<DisplayMode> RandRDisplayServices::bounds(DisplayID display) {
    auto mode = currentMode(display);
    if (!mode) return std::nullopt;
    return DisplayMode{mode->width, mode->height, mode->width, mode->height};
}

std::optional<DisplayMode> RandRDisplayServices::currentMode(DisplayID display) {
    auto output = find(display);
    if (!output || !output->active) return std::nullopt;
    if (virtualDisplayNumber(display) && !output->modes.empty()) return output->modes.front();
    return DisplayMode{output->width, output->height, output->width, output->height};
}

std::vector<DisplayMode> RandRDisplayServices::allModes(DisplayID display) {
    auto output = find(display);
    return output ? output->modes : std::vector<DisplayMode>{};
}

int RandRDisplayServices::applyMode(DisplayID display, const DisplayMode& mode) {
    if (currentMode(display) == mode) return 0;
    if (virtualDisplayNumber(display)) return kNotImplemented; // its server has one fixed size
    if (mode.pixelWidth <= 0 || mode.pixelHeight <= 0 || mode.pixelWidth > INT16_MAX ||
        mode.pixelHeight > INT16_MAX)
        return RandROutputModes::kCannotChange;
    std::lock_guard lock(mutex);
    if (connection->broken()) return RandROutputModes::kCannotChange;
    return outputModes.apply(display, int(mode.pixelWidth), int(mode.pixelHeight));
}

DisplayID RandRDisplayServices::mirrorsDisplay(DisplayID display) {
    auto output = find(display);
    return output ? output->mirrors : 0;
}

int RandRDisplayServices::configureMirror(DisplayID display, DisplayID master) {
    // Nothing to undo is a success; making one display show another is not available.
    if (master == 0 && mirrorsDisplay(display) == 0) return 0;
    return kNotImplemented;
}

std::string RandRDisplayServices::localizedName(DisplayID display) {
    auto output = find(display);
    return output ? output->name : std::string();
}

std::unique_ptr<Observation> RandRDisplayServices::observeChanges(std::function<void()> changed) {
    auto watching = X11Connection::open(server);
    if (!watching) return std::make_unique<Observation>();
    return std::make_unique<ChangeWatch>(std::move(watching), std::move(changed));
}

} // namespace quorlinth
