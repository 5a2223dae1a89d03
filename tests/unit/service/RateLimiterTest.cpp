#include "RateLimiter.h"

#include "Schema.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace quorlinth::service {
namespace {

// The limiter nodes share keeps its events in the database; it must answer exactly as the one
// in memory does. Both run the same steps here, the shared one on a migrated SQLite file.
class RateLimiterInDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        folder = (std::filesystem::temp_directory_path() / "quorlinth-limits-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(folder.data()));
        auto opened = Database::open(std::filesystem::path(folder) / "service.sqlite");
        ASSERT_TRUE(opened) << opened.error();
        database = std::move(opened.value());
        auto migrated = migrateSchema(*database);
        ASSERT_TRUE(migrated) << migrated.error();
    }
    void TearDown() override {
        database.reset();
        std::filesystem::remove_all(folder);
    }

    std::string folder;
    std::unique_ptr<Database> database;
};

TEST_F(RateLimiterInDatabase, AnswersAsTheLimiterInMemory) {
    RateLimiter memory(3, 60);
    RateLimiter shared(3, 60, database.get(), "test");
    RateLimiter other(3, 60, database.get(), "other");
    struct Step {
        const char* what;
        int64_t now;
        const char* key;
    } steps[] = {
        {"allow", 100, "a"}, {"allow", 101, "a"}, {"allow", 102, "b"}, {"allow", 110, "a"},
        {"allow", 111, "a"}, {"wait", 111, "a"},  {"count", 111, "a"}, {"newest", 0, "a"},
        {"release", 0, "a"}, {"count", 111, "a"}, {"allow", 112, "a"}, {"wait", 150, "a"},
        {"allow", 159, "a"}, {"wait", 160, "a"},  {"count", 161, "a"}, {"allow", 161, "a"},
        {"count", 170, "b"}, {"wait", 170, "c"},  {"newest", 0, "c"},  {"release", 0, "c"},
        {"allow", 400, "a"}, {"count", 400, "a"},
    };
    other.allow("a", 100);
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.what) + " " + step.key + " at " + std::to_string(step.now));
        std::string what = step.what;
        if (what == "allow")
            EXPECT_EQ(memory.allow(step.key, step.now), shared.allow(step.key, step.now));
        else if (what == "wait")
            EXPECT_EQ(memory.waitFor(step.key, step.now), shared.waitFor(step.key, step.now));
        else if (what == "count")
            EXPECT_EQ(memory.count(step.key, step.now), shared.count(step.key, step.now));
        else if (what == "newest")
            EXPECT_EQ(memory.newest(step.key), shared.newest(step.key));
        else {
            memory.release(step.key);
            shared.release(step.key);
        }
    }
    EXPECT_EQ(1u, other.count("a", 100)) << "limiters of other names count apart";
}

} // namespace
} // namespace quorlinth::service
