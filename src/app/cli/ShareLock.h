#pragma once

#include "base/Result.h"

#include <memory>

namespace quorlinth::cli {

// One sharing process per device home: two would fight over the same signaling socket. The
// lock is a file in the runtime folder, held while the process lives.
class ShareLock {
public:
    static Result<std::shared_ptr<ShareLock>> acquire();
    ~ShareLock();

private:
    explicit ShareLock(int fd) : fd(fd) {}
    int fd;
};

} // namespace quorlinth::cli
