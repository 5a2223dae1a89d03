// An impaired link between two network namespaces, for the engine's tests and the latency
// benchmark: this machine's kernel has no netem, so the link is emulated in user space. The
// program opens a TUN device in the namespace it starts in ("qlink0", 10.77.0.1/24), moves into
// a namespace of its own with a second TUN device ("qlink1", 10.77.0.2/24) and forwards IP
// packets between the two, each direction through its own bottleneck: a rate limit with a
// bounded queue (tail drop), a fixed one-way delay and random loss. Other processes join the far
// side with `nsenter --net=/proc/PID/ns/net`. It prints {"event":"ready","pid":PID} once both
// ends are up, runs until stdin closes, and takes JSON lines on stdin that change the link at
// once: {"rate": BITS_PER_SECOND}, {"delay_ms": MS}, {"loss_percent": PERCENT} (any of them).
//   link_emulator [--rate BPS] [--delay MS] [--loss PCT] [--queue-ms MS] [--seed N]
// Run it only inside a private namespace (scripts/netns, NetnsMain): it adds interfaces.

#include "base/Json.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <map>
#include <optional>
#include <poll.h>
#include <random>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

struct Impairment {
    double rateBps = 100e6;
    Nanos delay{0};
    double loss = 0; // fraction
    Nanos queueLimit = std::chrono::milliseconds(300);
};

int openTun(const char* name) {
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK);
    if (fd < 0) return -1;
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &request) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// One direction of the link: packets wait for the bottleneck, then for the delay.
class Direction {
public:
    Direction(int from, int to, const Impairment& link, std::mt19937& random)
        : from(from), to(to), link(link), random(random) {}

    void readAll(Clock::time_point now) {
        std::vector<char> packet(65536);
        for (;;) {
            ssize_t size = read(from, packet.data(), packet.size());
            if (size <= 0) return;
            if (std::uniform_real_distribution<double>(0, 1)(random) < link.loss) continue;
            Clock::time_point start = std::max(now, busyUntil);
            if (start - now > link.queueLimit) continue; // the queue is full
            busyUntil = start + Nanos(int64_t(double(size) * 8 / link.rateBps * 1e9));
            inFlight.emplace(busyUntil + link.delay,
                             std::vector<char>(packet.begin(), packet.begin() + size));
        }
    }

    void deliverDue(Clock::time_point now) {
        while (!inFlight.empty() && inFlight.begin()->first <= now) {
            const auto& packet = inFlight.begin()->second;
            (void)!write(to, packet.data(), packet.size());
            inFlight.erase(inFlight.begin());
        }
    }

    std::optional<Clock::time_point> nextDue() const {
        if (inFlight.empty()) return std::nullopt;
        return inFlight.begin()->first;
    }

private:
    int from, to;
    const Impairment& link;
    std::mt19937& random;
    Clock::time_point busyUntil{};
    std::multimap<Clock::time_point, std::vector<char>> inFlight;
};

void change(Impairment& link, const std::string& line) {
    auto command = quorlinth::parseJsonObject(line);
    if (!command) return;
    namespace field = quorlinth::field;
    if (auto rate = field::number(*command, "rate"); rate && *rate > 0) link.rateBps = *rate;
    if (auto delay = field::number(*command, "delay_ms"); delay && *delay >= 0)
        link.delay = Nanos(int64_t(*delay * 1e6));
    if (auto loss = field::number(*command, "loss_percent"); loss && *loss >= 0 && *loss <= 100)
        link.loss = *loss / 100;
}

} // namespace

int main(int argc, char** argv) {
    Impairment link;
    unsigned seed = 1;
    for (int index = 1; index + 1 < argc; index += 2) {
        std::string flag = argv[index];
        double value = std::atof(argv[index + 1]);
        if (flag == "--rate")
            link.rateBps = value;
        else if (flag == "--delay")
            link.delay = Nanos(int64_t(value * 1e6));
        else if (flag == "--loss")
            link.loss = value / 100;
        else if (flag == "--queue-ms")
            link.queueLimit = Nanos(int64_t(value * 1e6));
        else if (flag == "--seed")
            seed = unsigned(value);
        else {
            std::fprintf(stderr,
                         "usage: link_emulator [--rate BPS] [--delay MS] [--loss PCT] [--queue-ms MS]\n");
            return 2;
        }
    }
    int near = openTun("qlink0");
    if (near < 0 || !run("ip addr add 10.77.0.1/24 dev qlink0 && ip link set qlink0 up")) {
        std::perror("link_emulator: near end");
        return 1;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("link_emulator: unshare");
        return 1;
    }
    int far = openTun("qlink1");
    if (far < 0 ||
        !run("ip link set lo up && ip addr add 10.77.0.2/24 dev qlink1 && ip link set qlink1 up")) {
        std::perror("link_emulator: far end");
        return 1;
    }
    std::mt19937 random(seed);
    Direction outward(near, far, link, random), inward(far, near, link, random);
    std::printf("{\"event\":\"ready\",\"pid\":%d}\n", int(getpid()));
    std::fflush(stdout);

    std::string pending;
    for (;;) {
        auto now = Clock::now();
        std::optional<Nanos> wait;
        for (const Direction* direction : {&outward, &inward}) {
            if (auto due = direction->nextDue())
                wait = std::min(wait.value_or(Nanos::max()), std::max(Nanos(0), *due - now));
        }
        timespec timeout{};
        if (wait) timeout = {time_t(wait->count() / 1'000'000'000), long(wait->count() % 1'000'000'000)};
        pollfd watched[3] = {{near, POLLIN, 0}, {far, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (ppoll(watched, 3, wait ? &timeout : nullptr, nullptr) < 0) continue;
        now = Clock::now();
        if (watched[0].revents & POLLIN) outward.readAll(now);
        if (watched[1].revents & POLLIN) inward.readAll(now);
        if (watched[2].revents & (POLLIN | POLLHUP)) {
            char chunk[256];
            ssize_t size = read(STDIN_FILENO, chunk, sizeof chunk);
            if (size <= 0) return 0;
            pending.append(chunk, size_t(size));
            for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
                change(link, pending.substr(0, newline));
                pending.erase(0, newline + 1);
            }
        }
        outward.deliverDue(now);
        inward.deliverDue(now);
    }
}
