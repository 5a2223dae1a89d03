#pragma once

#include "platform/PowerManagement.h"

#include <map>
#include <string>
#include <vector>

namespace quorlinth {

// Records held assertions and activity declarations; `failCreation` makes creation fail.
class FakePowerManagement : public PowerManagement {
public:
    struct Assertion {
        PowerAssertionType type;
        std::string name;
    };
    struct Activity {
        UserActivityKind kind;
        std::string name;
    };

    bool failCreation = false;
    std::map<uint32_t, Assertion> held;
    std::vector<Activity> activities;

    uint32_t createAssertion(PowerAssertionType type, const std::string& name) override;
    void releaseAssertion(uint32_t id) override;
    uint32_t declareUserActivity(UserActivityKind kind, const std::string& name, uint32_t previous) override;

    bool holds(PowerAssertionType type) const;

private:
    uint32_t nextID = 1;
};

} // namespace quorlinth
