#include "XvfbServer.h"

#include <csignal>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace quorlinth::testing {

namespace {

// Reads the display number Xvfb writes to -displayfd once it accepts connections.
std::string readDisplayNumber(int fd, int timeoutMs) {
    std::string digits;
    pollfd waiting{fd, POLLIN, 0};
    while (poll(&waiting, 1, timeoutMs) > 0) {
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return digits;
        digits.push_back(c);
    }
    return {};
}

} // namespace

XvfbServer::XvfbServer(int width, int height, int depth) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string screen =
            std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               "-noreset", "+extension", "RANDR", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid > 0) {
        std::string number = readDisplayNumber(fds[0], 20000);
        if (!number.empty()) name = ":" + number;
    }
    close(fds[0]);
}

XvfbServer::~XvfbServer() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

} // namespace quorlinth::testing
