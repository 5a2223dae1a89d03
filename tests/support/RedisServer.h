#pragma once

#include "ChildProcess.h"

#include <memory>
#include <string>

namespace quorlinth::testing {

// A Redis server of its own for tests: no persistence, reachable only through a unix socket in
// a temporary folder. Stopped with the object, and killed with the test process should that
// end first.
class RedisServer {
public:
    RedisServer();
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    bool started() const { return server != nullptr; }
    // Why the server did not start, from its log.
    const std::string& failure() const { return failureText; }
    // What the service's --bus takes.
    std::string url() const { return "redis://" + socket().string(); }

    // Stops the server (as an outage would; everything it held is gone) and starts a new one on
    // the same socket.
    void stop();
    bool start();

private:
    std::filesystem::path socket() const { return dir.path() / "redis.sock"; }
    bool answersPing() const;

    TempDir dir;
    std::unique_ptr<ChildProcess> server;
    std::string failureText;
};

} // namespace quorlinth::testing
