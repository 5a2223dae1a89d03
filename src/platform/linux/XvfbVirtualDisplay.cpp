#include "platform/linux/XvfbVirtualDisplay.h"

#include "platform/linux/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorlinth {

namespace {

constexpr int kStartTimeoutMs = 10000;

// Reads the display number the server writes to -displayfd once it accepts connections.
int readDisplayNumber(int fd) {
    std::string digits;
    pollfd waiting{fd, POLLIN, 0};
    while (poll(&waiting, 1, kStartTimeoutMs) > 0) {
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return digits.empty() ? -1 : std::stoi(digits);
        if (c < '0' || c > '9' || digits.size() > 6) break;
        digits.push_back(c);
    }
    return -1;
}

class XvfbVirtualDisplay : public VirtualDisplay {
public:
    XvfbVirtualDisplay(pid_t owner, std::string executable, VirtualDisplayDescriptor descriptor)
        : owner(owner), executable(std::move(executable)), descriptor(std::move(descriptor)) {}

    ~XvfbVirtualDisplay() override {
        if (number >= 0) unlink(virtualDisplayMarker(owner, number).c_str());
        connection.reset();
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
    }

    DisplayID displayID() const override { return number >= 0 ? virtualDisplayID(number) : 0; }

    bool apply(const VirtualDisplaySettings& settings) override {
        if (server > 0 || settings.modes.size() != 1) return false; // one fixed size per server
        const auto& mode = settings.modes.front();
        int64_t factor = settings.hiDPI ? 2 : 1;
        int64_t width = mode.width * factor;
        int64_t height = mode.height * factor;
        if (width < 1 || height < 1 || width > descriptor.maxPixelsWide || height > descriptor.maxPixelsHigh)
            return false;
        if (!startServer(width, height)) return false;
        return mark(mode.width, mode.height, settings.hiDPI);
    }

private:
    bool startServer(int64_t width, int64_t height) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        std::string fd = std::to_string(fds[1]);
        // Physical size gives the server the display's density.
        int dpi = descriptor.widthMillimetres > 0
                      ? int(std::lround(double(width) / (descriptor.widthMillimetres / 25.4)))
                      : 96;
        std::string dpiText = std::to_string(std::max(dpi, 1));
        pid_t parent = getpid();
        server = fork();
        if (server == 0) {
            // The server goes when this process goes, however it ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            close(fds[0]);
            int devnull = ::open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, STDIN_FILENO);
                dup2(devnull, STDOUT_FILENO);
                dup2(devnull, STDERR_FILENO);
            }
            execlp(executable.c_str(), executable.c_str(), "-displayfd", fd.c_str(), "-screen", "0",
                   screen.c_str(), "-dpi", dpiText.c_str(), "-nolisten", "tcp", "-noreset", "+extension",
                   "RANDR", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        if (server > 0) number = readDisplayNumber(fds[0]);
        close(fds[0]);
        return server > 0 && number >= 0;
    }

    // Marks the server as this program's virtual display: points, density, serial and owner.
    bool mark(int64_t width, int64_t height, bool hiDPI) {
        connection = X11Connection::open(":" + std::to_string(number));
        if (!connection) return false;
        Display* display = connection->get();
        Window root = DefaultRootWindow(display);
        Atom property = XInternAtom(display, kVirtualDisplayProperty, False);
        long values[5] = {long(width), long(height), hiDPI ? 1 : 0, long(descriptor.serialNumber),
                          long(owner)};
        XChangeProperty(display, root, property, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(values), 5);
        XStoreName(display, root, descriptor.name.c_str());
        XSync(display, False);
        if (X11Connection::takeLastError() != 0 || connection->broken()) return false;
        // The marker holds the server's pid, so a reader can tell a server that is gone.
        std::string pid = std::to_string(server);
        int marker = ::open(virtualDisplayMarker(owner, number).c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (marker < 0) return false;
        bool written = write(marker, pid.data(), pid.size()) == ssize_t(pid.size());
        close(marker);
        if (!written) return false;
        return true;
    }

    pid_t owner;
    std::string executable;
    VirtualDisplayDescriptor descriptor;
    pid_t server = -1;
    int number = -1;
    std::unique_ptr<X11Connection> connection;
};

} // namespace

std::unique_ptr<VirtualDisplay>
XvfbVirtualDisplayFactory::create(const VirtualDisplayDescriptor& descriptor) {
    return std::make_unique<XvfbVirtualDisplay>(owner, executable, descriptor);
}

} // namespace quorlinth
