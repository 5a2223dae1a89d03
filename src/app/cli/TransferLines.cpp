#include "app/cli/TransferLines.h"

#include "app/cli/CliAccount.h"
#include "base/DisplayText.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace quorlinth::cli {

TransferLines::TransferLines(bool terminal) : terminal(terminal) {}

void TransferLines::show(const std::optional<TransferProgress>& progress) {
    if (!progress) {
        if (redrawing) std::printf("\n");
        redrawing = false;
        current.reset();
        std::fflush(stdout);
        return;
    }
    bool sameFile = current && current->incoming == progress->incoming && current->name == progress->name &&
                    progress->done >= current->done;
    if (!sameFile) {
        if (redrawing) std::printf("\n");
        redrawing = false;
        started = Clock::now();
    }
    current = progress;
    bool finished = progress->done >= progress->total;
    if (terminal) {
        std::printf("\r%s\033[K", line(*progress).c_str());
        redrawing = !finished;
        if (finished) std::printf("\n");
    } else if (finished) {
        std::printf("%s\n", line(*progress).c_str());
    }
    std::fflush(stdout);
}

std::vector<Subscription> printTransfer(const Observable<std::string>& note,
                                        const Observable<std::optional<TransferProgress>>& progress) {
    std::vector<Subscription> printing;
    printing.push_back(note.observe([](const std::string& text) {
        if (!text.empty()) printLine("传输 " + text);
    }));
    auto lines = std::make_shared<TransferLines>(isatty(STDOUT_FILENO) == 1);
    printing.push_back(
        progress.observe([lines](const std::optional<TransferProgress>& value) { lines->show(value); }));
    return printing;
}

std::string TransferLines::line(const TransferProgress& progress) const {
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    int percent = progress.total > 0 ? int(progress.done * 100 / progress.total) : 100;
    char figures[64];
    if (seconds > 0.05)
        std::snprintf(figures, sizeof figures, "%d%% %.1f MB/s", percent, progress.done / seconds / 1e6);
    else
        std::snprintf(figures, sizeof figures, "%d%%", percent);
    return std::string(progress.incoming ? "接收 " : "发送 ") + displaySafe(progress.name) + " " + figures;
}

} // namespace quorlinth::cli
