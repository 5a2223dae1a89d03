#pragma once

#include "base/Observable.h"
#include "base/Scheduler.h"
#include "transfer/TransferTypes.h"

#include <optional>
#include <string>
#include <vector>

namespace quorlinth::cli {

// Prints how a file transfer goes: "发送 NAME 42% 12.3 MB/s". On a terminal the line is
// redrawn as the transfer runs; elsewhere (logs, tests) only each file's last line is printed.
class TransferLines {
public:
    explicit TransferLines(bool terminal);
    void show(const std::optional<TransferProgress>& progress);

private:
    std::string line(const TransferProgress& progress) const;

    bool terminal;
    std::optional<TransferProgress> current;
    Clock::time_point started;
    bool redrawing = false; // a terminal line waits for its end
};

// Prints each transfer note as "传输 NOTE" and the progress as TransferLines for as long as the
// returned subscriptions live.
std::vector<Subscription> printTransfer(const Observable<std::string>& note,
                                        const Observable<std::optional<TransferProgress>>& progress);

} // namespace quorlinth::cli
