#include "platform/fake/FakeLoginItem.h"

namespace quorlinth {

Result<void> FakeLoginItem::registerItem() {
    if (!failure.empty()) return Error{failure};
    ++registrations;
    current = LoginItemStatus::enabled;
    return {};
}

Result<void> FakeLoginItem::unregisterItem() {
    if (!failure.empty()) return Error{failure};
    ++unregistrations;
    current = LoginItemStatus::notRegistered;
    return {};
}

} // namespace quorlinth
