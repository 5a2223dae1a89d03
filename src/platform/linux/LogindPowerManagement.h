#pragma once

#include "platform/PowerManagement.h"

#include <map>
#include <optional>
#include <string>
#include <systemd/sd-bus.h>

typedef struct _XDisplay Display;

namespace quorlinth {

// Power assertions as logind inhibitor locks ("sleep" for the machine, "idle" for the display)
// plus the X screensaver held off while the display must stay on; user activity resets the X
// screensaver's idle timer. Without logind or an X display, the part that is missing does
// nothing. Main thread only.
class LogindPowerManagement : public PowerManagement {
public:
    // `busAddress` empty means the system bus; `display` empty means DISPLAY (none: no X part).
    explicit LogindPowerManagement(std::string busAddress = {}, std::string display = {});
    ~LogindPowerManagement() override;
    LogindPowerManagement(const LogindPowerManagement&) = delete;
    LogindPowerManagement& operator=(const LogindPowerManagement&) = delete;

    uint32_t createAssertion(PowerAssertionType type, const std::string& name) override;
    void releaseAssertion(uint32_t id) override;
    uint32_t declareUserActivity(UserActivityKind kind, const std::string& name, uint32_t previous) override;

private:
    struct Held {
        PowerAssertionType type;
        int inhibitor = -1; // the lock's file descriptor; closing it releases the lock
        bool screensaverHeld = false;
    };
    int inhibit(const char* what, const std::string& why);

    sd_bus* bus = nullptr;
    Display* x11 = nullptr;
    std::map<uint32_t, Held> held;
    uint32_t nextID = 1;
};

} // namespace quorlinth
