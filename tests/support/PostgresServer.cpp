#include "PostgresServer.h"

#include "ChildProcess.h"

#include <chrono>
#include <cstdlib>
#include <pwd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorlinth::testing {

namespace {

const std::filesystem::path kBinaries = "/usr/lib/postgresql/15/bin";
constexpr const char* kPort = "5432"; // names the socket file; nothing listens on TCP

} // namespace

PostgresServer::PostgresServer() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorlinth-pg-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        failureText = "cannot create a folder for the server";
        return;
    }
    root = pattern;
    const passwd* user = getpwnam("postgres");
    if (!user || chown(root.c_str(), user->pw_uid, user->pw_gid) != 0) {
        failureText = "no postgres system user to run the server as";
        return;
    }
    if (!runAsPostgres({(kBinaries / "initdb").string(), "-D", (root / "data").string(), "--auth=trust",
                        "--username=postgres", "--encoding=UTF8", "--locale=C", "--no-sync"})) {
        failureText = "initdb failed: " + readTextFile(root / "postgres.log");
        return;
    }
    start();
}

PostgresServer::~PostgresServer() {
    stopServer("immediate");
    if (!root.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
}

bool PostgresServer::runAsPostgres(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"runuser", "-u", "postgres", "--"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProgram(command, root / "postgres.log") == 0;
}

// The server runs in the foreground as this process's child and is killed with it, so a test
// that crashes or is killed on a timeout leaves no server behind.
bool PostgresServer::start() {
    if (server) return true;
    server = std::make_unique<ChildProcess>(std::vector<std::string>{"setpriv",
                                                                     "--reuid=postgres",
                                                                     "--regid=postgres",
                                                                     "--init-groups",
                                                                     "--pdeathsig=KILL",
                                                                     "--",
                                                                     (kBinaries / "postgres").string(),
                                                                     "-D",
                                                                     (root / "data").string(),
                                                                     "-k",
                                                                     root.string(),
                                                                     "-p",
                                                                     kPort,
                                                                     "-c",
                                                                     "listen_addresses=",
                                                                     "-c",
                                                                     "fsync=off",
                                                                     "-c",
                                                                     "synchronous_commit=off",
                                                                     "-c",
                                                                     "full_page_writes=off"},
                                            Environment{}, root / "server.log");
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         std::chrono::steady_clock::now() < deadline && server->running();
         std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        if (runProgram({(kBinaries / "pg_isready").string(), "-q", "-h", root.string(), "-p", kPort},
                       root / "postgres.log") == 0)
            return true;
    }
    failureText = "the server did not start: " + readTextFile(root / "server.log");
    server.reset();
    return false;
}

bool PostgresServer::stop() {
    return stopServer("fast");
}

bool PostgresServer::stopServer(const char* mode) {
    if (!server) return true;
    bool stopped = runAsPostgres({(kBinaries / "pg_ctl").string(), "-D", (root / "data").string(), "-m", mode,
                                  "-w", "stop"}) &&
                   server->wait(30).has_value();
    server.reset();
    return stopped;
}

std::string PostgresServer::createDatabase() {
    if (!server) return "";
    std::string name = "quorlinth_" + std::to_string(++databases);
    if (!runAsPostgres({(kBinaries / "createdb").string(), "-h", root.string(), "-p", kPort, name}))
        return "";
    return "postgresql://postgres@/" + name + "?host=" + root.string() + "&port=" + kPort;
}

} // namespace quorlinth::testing
