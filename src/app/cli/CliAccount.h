#pragma once

#include "account/MacAccount.h"
#include "account/MacServiceConfig.h"
#include "app/cli/CliCommand.h"

#include <functional>
#include <optional>
#include <string>

namespace quorlinth::cli {

constexpr int kFailed = 1;

// What a command gets to work with: the account restored from this XDG home and the
// service it talks to.
struct CliAccountContext {
    MacAccount& account;
    const MacServiceConfig& service;
    KeyStore& keys;
};

// Runs one operation on a run loop installed as the main queue, until the operation calls
// `finish` with the exit code.
int runWithAccount(const CliOptions& options,
                   const std::function<void(CliAccountContext, std::function<void(int)> finish)>& operation);

int reportFailure(const MacFailure& failure);

// Prints one line at once: tests and people read the output as it happens.
void printLine(const std::string& text);
// A usage error: the text on standard error, exit code 2.
int usageError(const std::string& text);

// Ctrl-C and SIGTERM end a running command at its next pollUntil check.
void installInterruptHandlers();
// Checks Ctrl-C, the time bound and `finished` every 50 ms on the main queue; once one holds,
// runs `then` (once).
void pollUntil(std::optional<long> seconds, std::function<bool()> finished, std::function<void()> then);
// Gives the last messages (an "end", a close frame) a moment to leave before the process exits.
void finishSoon(std::function<void(int)> finish, int code);

} // namespace quorlinth::cli
