#pragma once

#include "platform/Displays.h"
#include "platform/linux/RandROutputModes.h"
#include "platform/linux/X11Connection.h"

#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quorlinth {

// Display services of an X session from RandR: each connected output is a display (its XID is
// the id), the primary output is the main display, names come from the monitor's EDID or the
// output name. Virtual displays of this process (X servers started by its virtual-display
// child) are listed after them. X has no points: a mode's pixel size is what an output shows,
// and applyMode adds that size to the output when it lacks it; the user's modes come back when
// the same size is asked for again or when this object goes (see RandROutputModes). Display
// mirroring has no counterpart here: configureMirror fails.
class RandRDisplayServices : public DisplayServices {
public:
    // What the capture needs to record a display: its server and the rectangle on its root.
    struct Location {
        std::string server; // X display name
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
    };

    static constexpr int kNotImplemented = 1006; // the answer to mirroring requests

    // An empty name means $DISPLAY. Null when the server cannot be reached.
    static std::unique_ptr<RandRDisplayServices> open(const std::string& server = {});

    std::optional<Location> locate(DisplayID display);
    const std::string& serverName() const { return server; }

    DisplayID mainDisplay() override;
    std::vector<DisplayID> activeDisplays() override;
    std::vector<DisplayID> onlineDisplays() override;
    bool isOnline(DisplayID display) override;
    bool isAsleep(DisplayID display) override;
    bool isBuiltin(DisplayID display) override;
    std::optional<DisplayMode> bounds(DisplayID display) override;
    std::optional<DisplayMode> currentMode(DisplayID display) override;
    std::vector<DisplayMode> allModes(DisplayID display) override;
    int applyMode(DisplayID display, const DisplayMode& mode) override;
    DisplayID mirrorsDisplay(DisplayID display) override;
    int configureMirror(DisplayID display, DisplayID master) override;
    bool canMirror() override { return false; }
    std::string localizedName(DisplayID display) override;
    std::unique_ptr<Observation> observeChanges(std::function<void()> changed) override;

private:
    struct Output {
        DisplayID id = 0;
        std::string name;      // EDID monitor name, else the output name
        std::string connector; // the output name ("eDP-1", "HDMI-1"...)
        bool active = false;   // drawn to by a CRTC
        DisplayID mirrors = 0; // an earlier output showing the same area
        int x = 0, y = 0, width = 0, height = 0;
        std::vector<DisplayMode> modes;
        std::string serverName;
    };
    struct Snapshot {
        std::vector<Output> outputs;
        DisplayID primary = 0;
        bool asleep = false;
    };

    RandRDisplayServices(std::string server, std::unique_ptr<X11Connection> connection)
        : server(std::move(server)), connection(std::move(connection)), outputModes(*this->connection) {}
    Snapshot snapshot();
    std::optional<Output> find(DisplayID display);
    void readServer(Snapshot& into);
    void readVirtualDisplays(Snapshot& into);
    std::optional<Output> readVirtualDisplay(X11Connection& connection, int number);

    std::string server;
    std::mutex mutex; // the connection is used by one caller at a time
    std::unique_ptr<X11Connection> connection;
    RandROutputModes outputModes; // after the connection: restores through it when destroyed
    std::map<int, std::unique_ptr<X11Connection>> virtualServers; // by display number
};

} // namespace quorlinth
