#include "ServiceProcess.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorlinth::testing {

namespace {

constexpr int kStartTimeoutMs = 15'000;

std::string readFirstLine(int fd) {
    std::string line;
    char c;
    pollfd waiter{fd, POLLIN, 0};
    while (poll(&waiter, 1, kStartTimeoutMs) > 0 && read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

} // namespace

std::filesystem::path serviceBinary() {
    if (const char* dir = std::getenv("QUORLINTH_BINARY_DIR"))
        return std::filesystem::path(dir) / "service" / "quorlinth-service";
    return QUORLINTH_SERVICE_BINARY;
}

int addServiceUser(const std::filesystem::path& database, const std::string& name,
                   const std::string& password, const std::string& phone) {
    std::vector<std::string> arguments = {serviceBinary().string(), "add-user", "--dev", "--db",
                                          database.string(),        name,       password};
    if (!phone.empty()) arguments.insert(arguments.end(), {"--phone", phone});
    return runProgram(arguments, database.parent_path() / "add-user.log");
}

ServiceProcess::ServiceProcess(const TempDir& tempDir, Options options) : dir(tempDir.path()) {
    std::vector<std::string> arguments = {serviceBinary().string(), "--listen", "127.0.0.1:0", "--db",
                                          database().string()};
    if (options.development) arguments.push_back("--dev");
    if (options.tlsCertificate) {
        arguments.insert(arguments.end(), {"--tls-cert", options.tlsCertificate->string()});
        arguments.insert(arguments.end(), {"--tls-key", options.tlsKey->string()});
    }
    if (options.iceConfig) arguments.insert(arguments.end(), {"--ice-config", options.iceConfig->string()});
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return;
    int logFd = open((dir / "service.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(logFd, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    close(logFd);
    // The first line is the base URL, once the service listens.
    std::string line = readFirstLine(pipeFds[0]);
    close(pipeFds[0]);
    auto colon = line.rfind(':');
    if (line.rfind("http", 0) != 0 || colon == std::string::npos) return;
    base = line;
    boundPort = uint16_t(std::stoi(line.substr(colon + 1)));
}

ServiceProcess::~ServiceProcess() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool ServiceProcess::isRunning() {
    return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0;
}

std::string ServiceProcess::logText() const {
    return readTextFile(dir / "service.log");
}

} // namespace quorlinth::testing
