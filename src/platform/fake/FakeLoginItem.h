#pragma once

#include "platform/LoginItem.h"

#include <string>

namespace quorlinth {

// A login item whose status the test sets; counts registrations and can fail them.
class FakeLoginItem : public LoginItemService {
public:
    LoginItemStatus current = LoginItemStatus::notRegistered;
    std::string failure; // non-empty: registerItem and unregisterItem fail with it
    int registrations = 0;
    int unregistrations = 0;

    LoginItemStatus status() override { return current; }
    Result<void> registerItem() override;
    Result<void> unregisterItem() override;
};

} // namespace quorlinth
