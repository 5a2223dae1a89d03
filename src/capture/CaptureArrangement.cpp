#include "capture/CaptureArrangement.h"

namespace quorlinth {

bool arrangementStays(const ArrangementInputs& in) {
    if (in.systemSharing) return in.capturableDisplays ? !in.virtualDisplay : in.virtualDisplay;
    if (in.mirroring) return in.fit;
    if (!in.standby) {
        if (in.activeRealDisplays == 0) return in.virtualDisplay || in.retryWindowOpen;
        if (!in.virtualDisplay) return in.fit ? in.retryWindowOpen : (!in.lidClosed || in.retryWindowOpen);
        if (!in.lidClosed) return false;
        return !in.fit;
    }
    if (in.activeRealDisplays > 0 && in.lidClosed) return !in.fit;
    return false;
}

} // namespace quorlinth
