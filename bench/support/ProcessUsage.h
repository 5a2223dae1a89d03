#pragma once

#include <cstdint>
#include <sys/types.h>

namespace quorlinth::bench {

// CPU seconds (user + system) a process has used so far; 0 when it cannot be read.
double processCpuSeconds(pid_t pid);
// Resident set size of a process in MiB; 0 when it cannot be read.
double processRssMiB(pid_t pid);
// CPU seconds the calling thread has used so far.
double threadCpuSeconds();
// Bytes received on `lo` in this network namespace so far.
uint64_t loopbackBytes();

// Wall clock and monotonic clock in nanoseconds; `unixFromMonotonicNs` moves a monotonic
// instant (as the decoder stamps frames) onto the wall clock the probe draws.
int64_t unixNowNs();
int64_t monotonicNowNs();
int64_t unixFromMonotonicNs(int64_t monotonicNs);

// CPU and memory of one process over a measuring window.
class UsageWindow {
public:
    explicit UsageWindow(pid_t pid);
    void begin();
    void end();
    double cores() const;
    double rssMiB() const { return rss; }

private:
    pid_t pid;
    double cpuAtBegin = 0, cpuAtEnd = 0;
    int64_t begunNs = 0, endedNs = 0;
    double rss = 0;
};

} // namespace quorlinth::bench
