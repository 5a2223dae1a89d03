#include "store/UserDefaults.h"

#include "TestSupport.h"
#include "store/AtomicFile.h"
#include "store/Paths.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quorlinth;
using quorlinth::testing::ScopedEnv;
using quorlinth::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

// Which typed reads see a key.
struct Visible {
    bool boolean, integer, number, string, data;
};

Visible visibility(const UserDefaults& defaults, const std::string& key) {
    return {defaults.boolean(key).has_value(), defaults.integer(key).has_value(),
            defaults.number(key).has_value(), defaults.string(key).has_value(),
            defaults.data(key).has_value()};
}

void expectVisible(const Visible& actual, const Visible& expected) {
    EXPECT_EQ(actual.boolean, expected.boolean);
    EXPECT_EQ(actual.integer, expected.integer);
    EXPECT_EQ(actual.number, expected.number);
    EXPECT_EQ(actual.string, expected.string);
    EXPECT_EQ(actual.data, expected.data);
}

void writeRaw(const fs::path& file, const std::string& contents) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
}

} // namespace

TEST(UserDefaults, ValuesSurviveReloadWithTheirTypes) {
    ScratchFolder folder;
    const fs::path file = folder / "defaults.json";
    const Bytes binary{0, 1, 2, 0xff, 0x80};
    {
        UserDefaults defaults(file);
        defaults.set("mac.lan.enabled", true);
        defaults.set("updates.checked", 1767312000.25);
        defaults.set("count", int64_t{-42});
        defaults.set("small", 7);     // int
        defaults.set("unsigned", 9u); // unsigned int
        defaults.set("mac.share.quality.v2", "balanced");
        defaults.set("mac.lan.knownHosts", binary);
        defaults.set("empty.data", Bytes{});
    }
    UserDefaults reloaded(file);
    EXPECT_EQ(reloaded.boolean("mac.lan.enabled"), true);
    EXPECT_EQ(reloaded.number("updates.checked"), 1767312000.25);
    EXPECT_EQ(reloaded.integer("count"), -42);
    EXPECT_EQ(reloaded.integer("small"), 7);
    EXPECT_EQ(reloaded.integer("unsigned"), 9);
    EXPECT_EQ(reloaded.string("mac.share.quality.v2"), "balanced");
    EXPECT_EQ(reloaded.data("mac.lan.knownHosts"), binary);
    EXPECT_EQ(reloaded.data("empty.data"), Bytes{});
    EXPECT_EQ(reloaded.boolean("absent"), std::nullopt);
}

TEST(UserDefaults, ValueReadAsAnotherTypeIsAbsent) {
    ScratchFolder folder;
    UserDefaults defaults(folder / "defaults.json");
    defaults.set("bool", false);
    defaults.set("int", int64_t{1});
    defaults.set("double", 1.0);
    defaults.set("string", "true");
    defaults.set("data", toBytes("text"));
    struct Case {
        const char* key;
        Visible expected;
    };
    const Case cases[] = {
        {"bool", {true, false, false, false, false}},   {"int", {false, true, false, false, false}},
        {"double", {false, false, true, false, false}}, {"string", {false, false, false, true, false}},
        {"data", {false, false, false, false, true}},   {"absent", {false, false, false, false, false}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.key);
        expectVisible(visibility(defaults, row.key), row.expected);
        expectVisible(visibility(UserDefaults(defaults.file()), row.key), row.expected);
    }
}

TEST(UserDefaults, RemoveAndOverwrite) {
    ScratchFolder folder;
    UserDefaults defaults(folder / "defaults.json");
    defaults.set("key", "text");
    defaults.set("key", int64_t{5});
    EXPECT_EQ(defaults.string("key"), std::nullopt);
    EXPECT_EQ(defaults.integer("key"), 5);
    defaults.remove("key");
    defaults.remove("never-set");
    EXPECT_EQ(defaults.integer("key"), std::nullopt);
    EXPECT_EQ(UserDefaults(defaults.file()).integer("key"), std::nullopt);
}

TEST(UserDefaults, CorruptOrForeignFileReadsAsEmptyAndIsReplacedOnWrite) {
    ScratchFolder folder;
    const fs::path file = folder / "defaults.json";
    struct Case {
        const char* name;
        std::string contents;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"truncated JSON", R"({"a": true, "b": )"},
        {"array", "[1, 2, 3]"},
        {"binary garbage", std::string("\x00\xff\xfe{\"a\":", 8)},
        {"data of the wrong shape",
         R"({"d": {"base64": 5}, "e": {"base64": "!!"}, "f": {"base64": "", "x": 1}})"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        writeRaw(file, row.contents);
        UserDefaults defaults(file);
        for (const char* key : {"a", "b", "d", "e", "f"}) {
            expectVisible(visibility(defaults, key), {false, false, false, false, false});
        }
        defaults.set("fresh", true);
        UserDefaults reloaded(file);
        EXPECT_EQ(reloaded.boolean("fresh"), true);
        EXPECT_EQ(reloaded.boolean("a"), std::nullopt);
    }
}

TEST(UserDefaults, UnreadableFileIsNoValuesWithoutCrash) {
    ScratchFolder folder;
    fs::create_directory(folder / "defaults.json"); // a folder where the file should be
    UserDefaults defaults(folder / "defaults.json");
    EXPECT_EQ(defaults.boolean("a"), std::nullopt);
    defaults.set("a", true); // cannot be saved, but this run keeps the value
    EXPECT_EQ(defaults.boolean("a"), true);
}

TEST(UserDefaults, LeftoverTemporaryFileDoesNotDisturbTheStore) {
    ScratchFolder folder;
    const fs::path file = folder / "defaults.json";
    UserDefaults(file).set("kept", "yes");
    writeRaw(folder / ".defaults.json.Ab12Cd", R"({"kept": "half-written)");
    UserDefaults defaults(file);
    EXPECT_EQ(defaults.string("kept"), "yes");
    defaults.set("more", true);
    EXPECT_EQ(UserDefaults(file).string("kept"), "yes");
}

TEST(UserDefaults, FileIsPrivateAndCreatedWithItsFolder) {
    ScratchFolder folder;
    const fs::path file = folder / "nested/config/defaults.json";
    UserDefaults(file).set("a", true);
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(UserDefaults, DifferentXdgHomesAreIndependent) {
    ScratchFolder first, second;
    {
        ScopedEnv config("XDG_CONFIG_HOME", (*first).string());
        UserDefaults defaults;
        EXPECT_EQ(defaults.file(), *first / "quorlinth/defaults.json");
        defaults.set("owner", "first");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", (*second).string());
        UserDefaults defaults;
        EXPECT_EQ(defaults.string("owner"), std::nullopt);
        defaults.set("owner", "second");
    }
    ScopedEnv config("XDG_CONFIG_HOME", (*first).string());
    EXPECT_EQ(UserDefaults().string("owner"), "first");
}
