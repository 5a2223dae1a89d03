#include "updates/MacUpdateResume.h"

#include "ScriptedHttpServer.h"
#include "store/UserDefaults.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

class ResumeRecord : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::filesystem::path folder = quorlinth::testing::makeTemporaryFolder("quorlinth-resume-");
    UserDefaults defaults{folder / "defaults.json"};
};

} // namespace

TEST_F(ResumeRecord, UsedOnlyWhenFreshAndAlwaysRemoved) {
    struct Case {
        const char* name;
        double age;
        bool restored;
    };
    const Case cases[] = {
        {"just written", 0, true},        {"five minutes", 300, true}, {"at the limit", 600, true},
        {"past the limit", 600.5, false}, {"an hour", 3600, false},    {"dated in the future", -1, false},
    };
    const double now = 1'800'000'000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MacUpdateResume{true, false, now - c.age}.save(defaults);
        auto taken = MacUpdateResume::take(defaults, now);
        EXPECT_EQ(taken.has_value(), c.restored);
        if (taken) EXPECT_EQ(*taken, (MacUpdateResume{true, false, now - c.age}));
        EXPECT_FALSE(defaults.data(MacUpdateResume::kDefaultsKey));
        // Read once: a second start restores nothing.
        EXPECT_FALSE(MacUpdateResume::take(defaults, now));
    }
}

TEST_F(ResumeRecord, UndecodableRecordRestoresNothingAndIsRemoved) {
    const double now = 1'800'000'000;
    const std::string records[] = {"",
                                   "not json",
                                   "[]",
                                   R"({"sharing": true, "input": true})",
                                   R"({"sharing": "yes", "input": true, "at": 1800000000})",
                                   R"({"sharing": true, "input": 1, "at": 1800000000})"};
    for (const auto& record : records) {
        SCOPED_TRACE(record);
        defaults.set(MacUpdateResume::kDefaultsKey, toBytes(record));
        EXPECT_FALSE(MacUpdateResume::take(defaults, now));
        EXPECT_FALSE(defaults.data(MacUpdateResume::kDefaultsKey));
    }
    // A value stored with another type is removed too.
    defaults.set(MacUpdateResume::kDefaultsKey, "text");
    EXPECT_FALSE(MacUpdateResume::take(defaults, now));
    EXPECT_FALSE(defaults.string(MacUpdateResume::kDefaultsKey));
}

TEST_F(ResumeRecord, SurvivesAReloadOfTheSettingsFile) {
    MacUpdateResume{true, true, 1'800'000'000}.save(defaults);
    UserDefaults reloaded(folder / "defaults.json");
    EXPECT_EQ(MacUpdateResume::take(reloaded, 1'800'000'010), (MacUpdateResume{true, true, 1'800'000'000}));
}
