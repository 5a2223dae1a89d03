#include "XorgDummyServer.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorlinth::testing {

namespace {

// No input devices, no virtual terminal: the server only draws into memory.
std::string configuration(int width, int height) {
    std::string size = "\"" + std::to_string(width) + "x" + std::to_string(height) + "\"";
    return "Section \"ServerFlags\"\n"
           "  Option \"AutoAddDevices\" \"false\"\n"
           "  Option \"AutoEnableDevices\" \"false\"\n"
           "  Option \"DontVTSwitch\" \"true\"\n"
           "EndSection\n"
           "Section \"Device\"\n"
           "  Identifier \"dummy\"\n"
           "  Driver \"dummy\"\n"
           "  VideoRam 256000\n"
           "EndSection\n"
           "Section \"Monitor\"\n"
           "  Identifier \"monitor\"\n"
           "  HorizSync 5.0-1000.0\n"
           "  VertRefresh 5.0-200.0\n"
           "EndSection\n"
           "Section \"Screen\"\n"
           "  Identifier \"screen\"\n"
           "  Device \"dummy\"\n"
           "  Monitor \"monitor\"\n"
           "  DefaultDepth 24\n"
           "  SubSection \"Display\"\n"
           "    Depth 24\n"
           "    Modes " +
           size +
           "\n"
           "  EndSubSection\n"
           "EndSection\n";
}

// Reads the display number the server writes to -displayfd once it accepts connections.
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

XorgDummyServer::XorgDummyServer(int width, int height) {
    char pattern[] = "/tmp/quorlinth-xorg-XXXXXX";
    if (geteuid() != 0 || !mkdtemp(pattern)) return;
    folder = pattern;
    std::string config = folder + "/xorg.conf", log = folder + "/Xorg.log";
    std::ofstream(config) << configuration(width, height);
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
        // A test that dies without its destructors (a signal, a timeout) takes the server along.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        std::string fd = std::to_string(fds[1]);
        execlp("Xorg", "Xorg", "-displayfd", fd.c_str(), "-config", config.c_str(), "-logfile", log.c_str(),
               "-noreset", "-nolisten", "tcp", "-novtswitch", "-sharevts", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid > 0) {
        std::string number = readDisplayNumber(fds[0], 30000);
        if (!number.empty()) name = ":" + number;
    }
    close(fds[0]);
}

XorgDummyServer::~XorgDummyServer() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (!folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

} // namespace quorlinth::testing
