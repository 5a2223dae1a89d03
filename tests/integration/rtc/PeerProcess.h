#pragma once

#include "base/Json.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace quorlinth::testing {

// A child process speaking JSON lines: commands to its stdin, events from its stdout. Every
// event is kept, so a test can wait for one that matches.
class PeerProcess {
public:
    explicit PeerProcess(std::vector<std::string> arguments);
    ~PeerProcess();

    void send(const Json& command);
    // Waits for an event (kept ones included) for which `match` holds; empty on time-out.
    std::optional<Json> waitFor(const std::function<bool(const Json&)>& match,
                                std::chrono::milliseconds timeout);
    std::optional<Json> waitForEvent(const std::string& name, std::chrono::milliseconds timeout);
    std::vector<Json> events();
    // Forwards every "signal" event to `other` as a "signal" command.
    void relaySignalsTo(PeerProcess& other);
    void kill();

private:
    void readLoop();
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Json> received;
    PeerProcess* relayTarget = nullptr;
};

} // namespace quorlinth::testing
