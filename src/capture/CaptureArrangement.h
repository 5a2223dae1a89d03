#pragma once

namespace quorlinth {

// What the arrangement check looks at.
struct ArrangementInputs {
    bool systemSharing = false;      // S: the system's own screen sharing is active
    bool capturableDisplays = false; // some capturable display exists (used only with S)
    bool mirroring = false;          // a real display mirrors our virtual display
    bool standby = false;            // our virtual display waits as a lid-closed backup
    int activeRealDisplays = 0;      // N: active displays except the virtual one
    bool virtualDisplay = false;     // V
    bool lidClosed = false;          // L
    bool retryWindowOpen = false;    // R: no new virtual display may be made yet
    bool fit = false;                // F: the viewport in force is controller-specific
};

// True when the present arrangement of displays stays; false asks for a restart.
bool arrangementStays(const ArrangementInputs& in);

} // namespace quorlinth
