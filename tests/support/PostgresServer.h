#pragma once

#include "ChildProcess.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth::testing {

// A PostgreSQL server of its own for tests: a fresh cluster in a temporary folder owned by the
// `postgres` system user (the server refuses to run as root), reachable only through a unix
// socket in that folder, with fsync off. Stopped and removed with the object, and killed with
// the test process should that end first (so make it on a thread that outlives it).
class PostgresServer {
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    bool started() const { return server != nullptr; }
    // Why the server did not start, from initdb's or the server's log.
    const std::string& failure() const { return failureText; }

    // A new empty database; its URL for the service, or "" when it could not be created.
    std::string createDatabase();

    // Stops the server (as an outage would) and starts it again on the same data.
    bool stop();
    bool start();

private:
    bool runAsPostgres(const std::vector<std::string>& arguments);
    bool stopServer(const char* mode);

    std::filesystem::path root;
    std::unique_ptr<ChildProcess> server;
    int databases = 0;
    std::string failureText;
};

} // namespace quorlinth::testing
