#include "capture/MacVirtualDisplayProcess.h"

#include "base/Result.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quorlinth {

namespace {

struct Child {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

Result<Child> spawnChild(const std::string& executable, const std::vector<std::string>& arguments) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) return Error{std::strerror(errno)};
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        int code = errno;
        close(toChild[0]);
        close(toChild[1]);
        return Error{std::strerror(code)};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int code = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    if (code != 0) {
        close(toChild[1]);
        close(fromChild[0]);
        return Error{std::strerror(code)};
    }
    return Child{pid, toChild[1], fromChild[0]};
}

// The display id from the child's reply: nullopt while no complete answer has arrived, 0 for
// "ERR" or an unusable id.
std::optional<DisplayID> parseReply(const std::string& text) {
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "ERR") return DisplayID(0);
        if (line.rfind("ID ", 0) == 0) {
            std::string digits = line.substr(3);
            if (digits.empty() || digits.size() > 10 ||
                digits.find_first_not_of("0123456789") != std::string::npos)
                return DisplayID(0);
            unsigned long long value = std::stoull(digits);
            return value > UINT32_MAX ? 0 : DisplayID(value);
        }
    }
    return std::nullopt;
}

// Reads the child's standard output until it answers, closes it, the time runs out or the
// wait is cancelled; 0 for anything but an id.
DisplayID awaitReply(int output, Millis timeout, const MacVirtualDisplayProcess::CancelFlag& cancelled) {
    constexpr int kSliceMs = 50; // how quickly a cancellation is noticed
    auto deadline = Clock::now() + timeout;
    std::string text;
    while (Clock::now() < deadline) {
        if (cancelled && cancelled->load()) return 0;
        pollfd ready{output, POLLIN, 0};
        int waited = poll(&ready, 1, kSliceMs);
        if (waited < 0 && errno != EINTR) return 0;
        if (waited <= 0) continue;
        char chunk[256];
        ssize_t got = read(output, chunk, sizeof chunk);
        if (got <= 0) return 0;
        text.append(chunk, size_t(got));
        if (auto id = parseReply(text)) return *id;
        if (text.size() > 4096) return 0; // not our child talking
    }
    return 0;
}

} // namespace

// Every reap goes through here and is recorded, and a child is signalled only while it is known
// unreaped: until then its pid cannot belong to another process.
class ChildWatch {
public:
    explicit ChildWatch(pid_t pid) : pid(pid), reaped(pid <= 0) {}

    bool exited() {
        std::lock_guard guard(lock);
        if (reaped) return true;
        pid_t got = waitpid(pid, nullptr, WNOHANG);
        if (got == pid || (got < 0 && errno == ECHILD)) reaped = true;
        return reaped;
    }

    void signal(int number) {
        std::lock_guard guard(lock);
        if (!reaped) kill(pid, number);
    }

    bool awaitExit(Millis timeout) {
        auto deadline = Clock::now() + timeout;
        while (!exited()) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(Millis(5));
        }
        return true;
    }

    // Lets the child end by itself, then terminates it, then kills it; returns once reaped.
    void retire() {
        if (awaitExit(MacVirtualDisplayProcess::kStopGrace)) return;
        signal(SIGTERM);
        if (awaitExit(MacVirtualDisplayProcess::kTerminateGrace)) return;
        signal(SIGKILL);
        while (!awaitExit(Millis(1000))) {
        }
    }

private:
    std::mutex lock;
    const pid_t pid;
    bool reaped;
};

MacVirtualDisplayProcess::MacVirtualDisplayProcess(DisplayID displayID, std::shared_ptr<ChildWatch> child,
                                                   int input)
    : display(displayID), child(std::move(child)), input(input) {}

MacVirtualDisplayProcess::~MacVirtualDisplayProcess() {
    stop();
}

uint32_t MacVirtualDisplayProcess::nextSerial() {
    static std::mutex lock;
    static uint32_t next = 1;
    std::lock_guard guard(lock);
    uint32_t serial = next;
    next = next == 1 ? 2 : 1;
    return serial;
}

std::shared_ptr<MacVirtualDisplayProcess> MacVirtualDisplayProcess::adopt(DisplayID displayID) {
    return std::shared_ptr<MacVirtualDisplayProcess>(
        new MacVirtualDisplayProcess(displayID, std::make_shared<ChildWatch>(-1), -1));
}

void MacVirtualDisplayProcess::start(const Launch& launch, int64_t width, int64_t height, bool hiDPI,
                                     Dispatcher& replyQueue, Completion done, CancelFlag cancelled) {
    std::vector<std::string> arguments = {"--virtual-display", std::to_string(width), std::to_string(height),
                                          hiDPI ? "1" : "0", std::to_string(nextSerial())};
    auto child = spawnChild(launch.executable, arguments);
    if (!child) {
        if (launch.log) launch.log("虚拟屏进程启动失败：" + child.error());
        replyQueue.post([done] { done(nullptr); });
        return;
    }
    // The reply is awaited off the caller's queue; the answer is posted back to it.
    std::thread([child = child.value(), timeout = launch.replyTimeout, target = replyQueue.handle(), done,
                 cancelled] {
        DisplayID id = awaitReply(child.output, timeout, cancelled);
        close(child.output);
        bool wanted = id != 0 && !(cancelled && cancelled->load());
        auto watch = std::make_shared<ChildWatch>(child.pid);
        std::shared_ptr<MacVirtualDisplayProcess> process;
        if (wanted)
            process.reset(new MacVirtualDisplayProcess(id, watch, child.input));
        else
            close(child.input);
        // Answer first: a child that is slow to go (or ignores the signal) must not hold it up.
        target->post([done, process] { done(process); });
        if (!wanted) watch->retire();
    }).detach();
}

void MacVirtualDisplayProcess::stop() {
    std::lock_guard lock(stopLock);
    if (stopped) return;
    stopped = true;
    if (input >= 0) close(input);
    input = -1;
    // A child that sees the end of its input takes its display down in order; only one that
    // does not manage it in a moment is terminated. The waiting happens off the caller's queue.
    if (!child->exited()) std::thread([child = child] { child->retire(); }).detach();
}

bool MacVirtualDisplayProcess::exited() {
    return child->exited();
}

} // namespace quorlinth
