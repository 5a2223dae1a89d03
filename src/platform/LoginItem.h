#pragma once

#include "base/Result.h"

namespace quorlinth {

// Registration of the application as something the system starts at login. The raw values
// are the ones the model shows and compares with.
enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// Main thread only.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;

    virtual LoginItemStatus status() = 0;
    virtual Result<void> registerItem() = 0;
    virtual Result<void> unregisterItem() = 0;
};

} // namespace quorlinth
