// File transfer over the real engine: one file sent between two transfer peers (separate
// processes) on a direct loopback route inside a private network namespace. Prints throughput
// and the growth of each process's resident memory. Prints `name value unit` lines.
//   transfer_bench [--mib N]   (1024 by default)

#include "ChildProcess.h"
#include "Netns.h"
#include "PeerProcess.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

using namespace quorlinth;
using namespace quorlinth::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

bool isEvent(const Json& event, const std::string& name) {
    return field::string(event, "event").value_or("") == name;
}

// A peer's resident and peak resident memory (KiB) and CPU seconds (user, system).
struct Usage {
    int64_t rss = 0, peak = 0;
    double user = 0, system = 0;
};

Usage usageOf(PeerProcess& peer, int round) {
    peer.send({{"cmd", "memory"}});
    int seen = 0;
    auto event = peer.waitFor([&](const Json& e) { return isEvent(e, "memory") && seen++ == round; }, 10s);
    const Json* figures = event ? field::object(*event, "figures") : nullptr;
    if (!figures) return {};
    return {field::int64(*figures, "VmRSS").value_or(0), field::int64(*figures, "VmHWM").value_or(0),
            field::number(*figures, "user_s").value_or(0), field::number(*figures, "system_s").value_or(0)};
}

void printUsage(const std::string& who, const Usage& before, const Usage& after, double seconds) {
    auto line = [&](const std::string& name, double value, const char* unit) {
        std::printf("transfer_%s_%s %.2f %s\n", who.c_str(), name.c_str(), value, unit);
    };
    line("rss_before", before.rss / 1024.0, "MiB");
    line("peak_rss_growth", (after.peak - before.rss) / 1024.0, "MiB");
    line("rss_growth_after", (after.rss - before.rss) / 1024.0, "MiB");
    line("user_cores", (after.user - before.user) / seconds, "cores");
    line("system_cores", (after.system - before.system) / seconds, "cores");
}

void print(const char* name, double value, const char* unit) {
    std::printf("%s %.1f %s\n", name, value, unit);
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QUORLINTH_NETNS"))
        return runInsideNetworkNamespace(argc, argv, QUORLINTH_DEFAULT_SOURCE_DIR);
    int64_t mib = 1024;
    for (int index = 1; index + 1 < argc; ++index)
        if (std::strcmp(argv[index], "--mib") == 0) mib = std::atoll(argv[++index]);

    TempDir root;
    fs::path source = root.path() / "payload.bin";
    {
        std::ofstream out(source, std::ios::binary);
        std::vector<char> block(1 << 20);
        for (int64_t index = 0; index < mib; ++index) {
            for (size_t offset = 0; offset < block.size(); offset += 64)
                block[offset] = static_cast<char>(index + offset);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    auto peer = [&](const char* role, const char* folder) {
        return std::make_unique<PeerProcess>(std::vector<std::string>{
            QUORLINTH_TRANSFER_TEST_PEER, role, "--downloads", (root.path() / folder).string()});
    };
    auto receiver = peer("answerer", "receiver");
    auto sender = peer("offerer", "sender");
    sender->relaySignalsTo(*receiver);
    receiver->relaySignalsTo(*sender);
    if (!sender->waitForEvent("open", 30s) || !receiver->waitForEvent("open", 30s)) {
        std::cerr << "the peers did not connect\n";
        return 1;
    }
    Usage senderBefore = usageOf(*sender, 0);
    Usage receiverBefore = usageOf(*receiver, 0);

    auto started = std::chrono::steady_clock::now();
    sender->send({{"cmd", "send"}, {"files", {source.string()}}});
    auto done =
        sender->waitFor([](const Json& e) { return isEvent(e, "sent") || isEvent(e, "transfer-error"); },
                        std::chrono::seconds(60 + mib));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!done || !isEvent(*done, "sent")) {
        std::cerr << "the transfer did not complete: " << (done ? done->dump() : "time-out") << "\n";
        return 1;
    }
    Usage senderAfter = usageOf(*sender, 1);
    Usage receiverAfter = usageOf(*receiver, 1);
    double bytes = static_cast<double>(mib) * 1024 * 1024;
    print("transfer_file_size", static_cast<double>(mib), "MiB");
    print("transfer_seconds", seconds, "s");
    print("transfer_throughput", bytes / seconds / 1e6, "MB/s");
    printUsage("sender", senderBefore, senderAfter, seconds);
    printUsage("receiver", receiverBefore, receiverAfter, seconds);
    return 0;
}
