#include "PostgresServer.h"

#include "ChildProcess.h"

#include <cstdlib>
#include <pwd.h>
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
    if (running)
        runAsPostgres({(kBinaries / "pg_ctl").string(), "-D", (root / "data").string(), "-m", "immediate",
                       "-w", "stop"});
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

bool PostgresServer::start() {
    std::string options = "-c listen_addresses='' -c unix_socket_directories='" + root.string() + "' -p " +
                          kPort + " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
    running = runAsPostgres({(kBinaries / "pg_ctl").string(), "-D", (root / "data").string(), "-w", "-t",
                             "60", "-l", (root / "server.log").string(), "-o", options, "start"});
    if (!running) failureText = "the server did not start: " + readTextFile(root / "server.log");
    return running;
}

bool PostgresServer::stop() {
    if (!running) return true;
    running = !runAsPostgres(
        {(kBinaries / "pg_ctl").string(), "-D", (root / "data").string(), "-m", "fast", "-w", "stop"});
    return !running;
}

std::string PostgresServer::createDatabase() {
    if (!running) return "";
    std::string name = "quorlinth_" + std::to_string(++databases);
    if (!runAsPostgres({(kBinaries / "createdb").string(), "-h", root.string(), "-p", kPort, name}))
        return "";
    return "postgresql://postgres@/" + name + "?host=" + root.string() + "&port=" + kPort;
}

} // namespace quorlinth::testing
