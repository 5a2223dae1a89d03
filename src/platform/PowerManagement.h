#pragma once

#include <cstdint>
#include <string>

namespace quorlinth {

// What an assertion keeps from happening while it is held.
enum class PowerAssertionType {
    preventUserIdleDisplaySleep, // the display stays on
    preventSystemSleep,          // the machine stays awake
};

// Who is active: the person at this machine, or a remote user driving it.
enum class UserActivityKind { local, remote };

// Keeps the machine and its display awake and tells the system that someone is using it.
// Main thread only.
class PowerManagement {
public:
    virtual ~PowerManagement() = default;

    // A held assertion's id, or 0 when it could not be created.
    virtual uint32_t createAssertion(PowerAssertionType type, const std::string& name) = 0;
    virtual void releaseAssertion(uint32_t id) = 0;
    // Declares activity now; returns the id to pass back on the next declaration (0 on failure).
    virtual uint32_t declareUserActivity(UserActivityKind kind, const std::string& name,
                                         uint32_t previous) = 0;
};

} // namespace quorlinth
