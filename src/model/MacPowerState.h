#pragma once

#include "base/Scheduler.h"
#include "platform/PowerManagement.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quorlinth {

// Keeps this machine and its display awake while it is shared, and tells the system a remote
// user is active while a viewer is connected. Main thread only; releases everything it holds
// when destroyed.
class MacPowerState {
public:
    static constexpr const char* kAwakeName = "Quorlinth 正在共享屏幕";
    static constexpr const char* kSleepName = "Quorlinth 共享中保持唤醒";
    static constexpr const char* kRemoteActivityName = "Quorlinth 远程控制中";
    static constexpr const char* kRequestActivityName = "Quorlinth 远程连接请求";
    static constexpr Millis kRemoteActivityPeriod{30'000};

    MacPowerState(PowerManagement& power, Dispatcher& main, std::function<void(const std::string&)> log);
    ~MacPowerState();
    MacPowerState(const MacPowerState&) = delete;
    MacPowerState& operator=(const MacPowerState&) = delete;

    // Holds or releases both assertions as the three flags require.
    void updateAssertions(bool sharing, bool keepAwake, bool viewerConnected);
    // Declares remote activity now and every 30 s while a viewer is connected.
    void updateRemoteActivity(bool viewerConnected);
    // A connection request: the person at this machine should notice.
    void declareConnectionRequest();

    uint32_t awakeAssertion() const { return awake; }
    uint32_t sleepAssertion() const { return sleep; }

private:
    void declareRemoteActivity();

    PowerManagement& power;
    Dispatcher& main;
    std::function<void(const std::string&)> log;
    uint32_t awake = 0;
    uint32_t sleep = 0;
    Timer remoteActivity;
    uint32_t remoteActivityID = 0;
};

} // namespace quorlinth
