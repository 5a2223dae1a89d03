#pragma once

#include "base/MainQueue.h"
#include "capture/TestPattern.h"
#include "host/MacShareHost.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace quorlinth::testing {

// The sharing side of a test, seen through the lines it writes: its log plus "请求 NAME
// controller=ID" (or "请求 NAME guest") per request, "状态 已授权" on connect and "状态 会话结束" on
// disconnect, the way `quorlinth-cli share` prints them.
class HostUnderTest {
public:
    virtual ~HostUnderTest() = default;
    std::vector<std::string> lines() const;
    int count(const std::string& text) const;
    // Answers the newest request waiting for the model's decision.
    virtual void decide(bool allow) = 0;
    // Ends sharing (the host sends "end" for its session).
    virtual void stop() = 0;

protected:
    void addLine(const std::string& line);

private:
    mutable std::mutex mutex;
    std::vector<std::string> written;
};

// MacShareHost in this process (fed by the test pattern), for injected timings.
class InProcessHost : public HostUnderTest {
public:
    InProcessHost(MacShareHost::Options options, RunLoop& loop);
    ~InProcessHost() override;
    void decide(bool allow) override;
    void stop() override;
    std::atomic<bool> inputReady{false};

private:
    RunLoop& loop;
    std::shared_ptr<MacShareHost> host;
    std::unique_ptr<TestPattern> pattern;
    std::vector<std::function<void(bool)>> open; // main queue only
};

// `quorlinth-cli share` signed in with its own homes under `home`; decisions are typed at its
// terminal prompt, stop is Ctrl-C.
class CliHost : public HostUnderTest {
public:
    struct Options {
        std::string base, user, password;
        std::filesystem::path home;
        bool relay = false;
    };
    explicit CliHost(Options options);
    ~CliHost() override;
    // Empty when the CLI could not be started; `startFailure` then says why.
    const std::string& deviceID() const { return device; }
    const std::string& startFailure() const { return failure; }
    void decide(bool allow) override;
    void stop() override;

private:
    void readLoop();
    std::string device, failure;
    pid_t pid = -1;
    int input = -1, output = -1;
    std::thread reader;
};

} // namespace quorlinth::testing
