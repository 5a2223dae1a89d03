#pragma once

#include "platform/linux/X11Connection.h"

#include <map>
#include <vector>

namespace quorlinth {

// Switches the RandR outputs of one X server to a requested pixel size and gives every output
// back the mode its user had. A size the output does not offer is added as a mode of our own
// (and removed again once it is no longer shown); the screen grows or shrinks around the new
// arrangement. The user's modes are also written to the root window, so that a process killed
// before it could restore them is cleaned up by the next one that opens the server.
// One caller at a time, on the connection it was made with.
class RandROutputModes {
public:
    explicit RandROutputModes(X11Connection& connection)
        : connection(connection), display(connection.get()) {}
    // Restores every changed output while the server is still there.
    ~RandROutputModes();
    RandROutputModes(const RandROutputModes&) = delete;
    RandROutputModes& operator=(const RandROutputModes&) = delete;

    static constexpr int kCannotChange = 1007; // the server or output cannot take the size

    // Shows `width` × `height` pixels on `output`; the user's own size brings back the user's
    // very mode. 0 on success, kCannotChange otherwise (the output stays as it was).
    int apply(unsigned long output, int width, int height);
    // Every changed output back to its user's mode.
    void restoreAll();
    // Restores the outputs that a process which is no longer running left changed.
    void restoreAbandoned();

private:
    struct Change {
        unsigned long userMode = 0;
        unsigned long shownMode = 0;
        bool shownAdded = false; // the shown mode is one of ours, to remove when it goes
    };
    struct Record {
        unsigned long owner = 0; // pid
        unsigned long output = 0;
        Change change;
    };

    bool show(unsigned long output, unsigned long mode);
    unsigned long findOrAddMode(unsigned long output, int width, int height, bool& added);
    void removeMode(unsigned long output, unsigned long mode);
    void restore(unsigned long output, const Change& change);
    std::vector<Record> readRecords();
    void writeRecords(const std::vector<Record>& records);
    void saveChanges();

    X11Connection& connection;
    _XDisplay* display;
    std::map<unsigned long, Change> changes; // by output
};

} // namespace quorlinth
