#include "platform/fake/FakePowerManagement.h"

namespace quorlinth {

uint32_t FakePowerManagement::createAssertion(PowerAssertionType type, const std::string& name) {
    if (failCreation) return 0;
    uint32_t id = nextID++;
    held.emplace(id, Assertion{type, name});
    return id;
}

void FakePowerManagement::releaseAssertion(uint32_t id) {
    held.erase(id);
}

uint32_t FakePowerManagement::declareUserActivity(UserActivityKind kind, const std::string& name,
                                                  uint32_t previous) {
    activities.push_back({kind, name});
    return previous ? previous : nextID++;
}

bool FakePowerManagement::holds(PowerAssertionType type) const {
    for (const auto& [id, assertion] : held)
        if (assertion.type == type) return true;
    return false;
}

} // namespace quorlinth
