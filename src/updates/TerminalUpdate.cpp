#include "updates/TerminalUpdate.h"

#include "updates/MacUpdates.h"

#include <cstdio>
#include <memory>

namespace quorlinth {

namespace {

std::string megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

struct TerminalRun {
    bool checkOnly = false;
    bool installStarted = false;
    bool finished = false;
    std::string lastMessage;
    int lastPercent = -1;
    std::function<void(const std::string&)> print;
    std::function<void(int)> finish;

    void end(int code) {
        if (finished) return;
        finished = true;
        finish(code);
    }

    void observe(MacUpdates& updates) {
        if (finished) return;
        if (updates.message() != lastMessage) {
            lastMessage = updates.message();
            if (!lastMessage.empty()) print(lastMessage);
        }
        if (updates.checking()) return;
        if (!installStarted) return afterCheck(updates);
        if (!updates.installing()) return end(1);
        reportProgress(updates);
    }

    void afterCheck(MacUpdates& updates) {
        if (updates.message() == MacUpdates::kCheckFailedMessage) return end(1);
        if (checkOnly) return end(0);
        if (!updates.latest()) return end(updates.message() == "已是最新版本" ? 0 : 1);
        installStarted = true;
        updates.install(*updates.latest());
    }

    void reportProgress(MacUpdates& updates) {
        if (!updates.latest() || updates.downloaded() == 0) return;
        uint64_t total = uint64_t(updates.latest()->bytes);
        int percent = int(updates.downloaded() * 100 / total);
        if (percent == lastPercent) return;
        lastPercent = percent;
        print(downloadProgressLine(updates.downloaded(), total));
    }
};

} // namespace

std::string downloadProgressLine(uint64_t received, uint64_t total) {
    uint64_t percent = total ? received * 100 / total : 0;
    return "正在下载新版本… " + std::to_string(percent) + "%（" + megabytes(received) + " / " +
           megabytes(total) + "）";
}

void runTerminalUpdate(MacUpdates& updates, bool checkOnly, std::function<void(const std::string&)> print,
                       std::function<void(int)> finish) {
    auto run = std::make_shared<TerminalRun>();
    run->checkOnly = checkOnly;
    run->print = std::move(print);
    run->finish = std::move(finish);
    updates.onChange = [run, &updates] { run->observe(updates); };
    updates.onTerminate = [run] { run->end(0); };
    updates.check(true);
}

} // namespace quorlinth
