#include "ProcessUsage.h"

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace quorlinth::bench {

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    // Fields after the command name start at field 3 (state); utime and stime are 14 and 15.
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::stoull(field);
        if (index == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

double processRssMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

uint64_t loopbackBytes() {
    std::ifstream devices("/proc/net/dev");
    for (std::string line; std::getline(devices, line);) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo") continue;
        std::istringstream counters(line.substr(colon + 1));
        uint64_t received = 0;
        counters >> received;
        return received;
    }
    return 0;
}

namespace {
int64_t clockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
} // namespace

int64_t unixNowNs() {
    return clockNs(CLOCK_REALTIME);
}

int64_t monotonicNowNs() {
    return clockNs(CLOCK_MONOTONIC);
}

int64_t unixFromMonotonicNs(int64_t monotonicNs) {
    static const int64_t offset = unixNowNs() - monotonicNowNs();
    return monotonicNs + offset;
}

UsageWindow::UsageWindow(pid_t pid) : pid(pid) {}

void UsageWindow::begin() {
    cpuAtBegin = processCpuSeconds(pid);
    begunNs = monotonicNowNs();
}

void UsageWindow::end() {
    cpuAtEnd = processCpuSeconds(pid);
    endedNs = monotonicNowNs();
    rss = processRssMiB(pid);
}

double UsageWindow::cores() const {
    double seconds = double(endedNs - begunNs) / 1e9;
    return seconds > 0 ? (cpuAtEnd - cpuAtBegin) / seconds : 0;
}

} // namespace quorlinth::bench
