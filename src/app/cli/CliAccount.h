#pragma once

#include "account/MacAccount.h"
#include "account/MacServiceConfig.h"
#include "app/cli/CliCommand.h"

#include <functional>
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

} // namespace quorlinth::cli
