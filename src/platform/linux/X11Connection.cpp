#include "platform/linux/X11Connection.h"

#include <X11/Xlib.h>
#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <unistd.h>

namespace quorlinth {

namespace {

thread_local int lastError = 0;

int recordError(Display*, XErrorEvent* event) {
    lastError = event->error_code;
    return 0;
}

// Lets Xlib go on to the connection's exit handler; connections without one of ours still end
// the process there, as they always did.
int passLostConnection(Display*) {
    return 0;
}

void markLost(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

} // namespace

std::unique_ptr<X11Connection> X11Connection::open(const std::string& name) {
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, [] {
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(passLostConnection);
    });
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display) return nullptr;
    auto lost = std::make_shared<std::atomic<bool>>(false);
    XSetIOErrorExitHandler(display, markLost, lost.get());
    return std::unique_ptr<X11Connection>(new X11Connection(display, lost));
}

X11Connection::~X11Connection() {
    // After its server is lost, Xlib can block forever inside XCloseDisplay; only the socket is
    // closed then and the small Display record is left behind. The round trip finds out first.
    if (!lost->load()) XSync(display, False);
    if (lost->load()) {
        close(ConnectionNumber(display));
        return;
    }
    XCloseDisplay(display);
}

namespace {

std::string markerFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime ? runtime : "/tmp";
}

std::string markerPrefix(pid_t owner) {
    return "quorlinth-virtual-display-" + std::to_string(owner) + "-";
}

} // namespace

std::string virtualDisplayMarker(pid_t owner, int displayNumber) {
    return markerFolder() + "/" + markerPrefix(owner) + std::to_string(displayNumber);
}

std::vector<int> virtualDisplayMarkers(pid_t owner) {
    std::vector<int> numbers;
    std::string prefix = markerPrefix(owner);
    if (DIR* folder = opendir(markerFolder().c_str())) {
        while (dirent* entry = readdir(folder)) {
            std::string name = entry->d_name;
            if (name.rfind(prefix, 0) != 0) continue;
            std::string digits = name.substr(prefix.size());
            if (digits.empty() || digits.size() > 6 ||
                digits.find_first_not_of("0123456789") != std::string::npos)
                continue;
            numbers.push_back(std::stoi(digits));
        }
        closedir(folder);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool virtualDisplayServerRunning(pid_t owner, int displayNumber) {
    std::ifstream marker(virtualDisplayMarker(owner, displayNumber));
    long pid = 0;
    if (!(marker >> pid) || pid <= 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    char state = text[close + 2];
    return state != 'Z' && state != 'X';
}

int X11Connection::takeLastError() {
    int code = lastError;
    lastError = 0;
    return code;
}

} // namespace quorlinth
