#include "updates/MacUpdate.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

MacUpdate validRelease() {
    MacUpdate update;
    update.version = "2.1.0";
    update.build = "42";
    update.bundleIdentifier = kBundleIdentifier;
    update.minimumOS = "2.31";
    update.file = "Quorlinth-Linux-0123456789abcdef.tar.gz";
    update.bytes = 1000;
    update.sha256 = kDigest;
    return update;
}

} // namespace

TEST(MacUpdate, ValidationRules) {
    struct Case {
        const char* name;
        void (*change)(MacUpdate&);
        bool valid;
    };
    const Case cases[] = {
        {"as published", [](MacUpdate&) {}, true},
        {"build with plus sign", [](MacUpdate& u) { u.build = "+42"; }, true},
        {"build zero", [](MacUpdate& u) { u.build = "0"; }, false},
        {"negative build", [](MacUpdate& u) { u.build = "-3"; }, false},
        {"build not a number", [](MacUpdate& u) { u.build = "42a"; }, false},
        {"empty build", [](MacUpdate& u) { u.build = ""; }, false},
        {"macOS identity", [](MacUpdate& u) { u.bundleIdentifier = "com.pelmarock.quorlinth.mac"; }, false},
        {"other identity", [](MacUpdate& u) { u.bundleIdentifier = "com.example.other"; }, false},
        {"upper-case digest",
         [](MacUpdate& u) {
             u.sha256 = "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef";
             u.file = releaseFileName(u.sha256);
         },
         false},
        {"short digest",
         [](MacUpdate& u) {
             u.sha256 = kDigest.substr(1);
             u.file = releaseFileName(u.sha256);
         },
         false},
        {"zero bytes", [](MacUpdate& u) { u.bytes = 0; }, false},
        {"one byte", [](MacUpdate& u) { u.bytes = 1; }, true},
        {"512 MiB", [](MacUpdate& u) { u.bytes = 536870912; }, true},
        {"over 512 MiB", [](MacUpdate& u) { u.bytes = 536870913; }, false},
        {"empty version", [](MacUpdate& u) { u.version = ""; }, false},
        {"64-character version", [](MacUpdate& u) { u.version = std::string(64, '1'); }, true},
        {"65-character version", [](MacUpdate& u) { u.version = std::string(65, '1'); }, false},
        {"file not named by digest", [](MacUpdate& u) { u.file = "Quorlinth-Linux-fedcba9876543210.tar.gz"; },
         false},
        {"zip file name", [](MacUpdate& u) { u.file = "Quorlinth-Mac-0123456789abcdef.zip"; }, false},
        {"file with a path", [](MacUpdate& u) { u.file = "../Quorlinth-Linux-0123456789abcdef.tar.gz"; },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MacUpdate update = validRelease();
        c.change(update);
        EXPECT_EQ(isValidRelease(update), c.valid);
    }
}

TEST(MacUpdate, DecodesTheLinuxMemberOnly) {
    auto release = MacUpdateRelease::decode(
        R"({"mac": {"build": "99"}, "linux": {"version": "2.1.0", "build": "42", "bundleIdentifier":
            "com.pelmarock.quorlinth.linux", "minimumOS": "2.31", "file":
            "Quorlinth-Linux-0123456789abcdef.tar.gz", "bytes": 1000, "sha256": ")" +
        kDigest + R"(", "extra": true}})");
    ASSERT_TRUE(release && release->linuxUpdate);
    EXPECT_EQ(*release->linuxUpdate, validRelease());

    auto macOnly = MacUpdateRelease::decode(R"({"mac": {"build": "99"}})");
    ASSERT_TRUE(macOnly);
    EXPECT_FALSE(macOnly->linuxUpdate);

    // Wrongly typed fields count as absent and then fail validation.
    auto typed = MacUpdateRelease::decode(R"({"linux": {"build": 42, "bytes": "1000"}})");
    ASSERT_TRUE(typed && typed->linuxUpdate);
    EXPECT_EQ(typed->linuxUpdate->build, "");
    EXPECT_EQ(typed->linuxUpdate->bytes, 0);
    EXPECT_FALSE(isValidRelease(*typed->linuxUpdate));

    for (const char* text : {"", "[]", "\"release\"", "{", "{\"linux\": 1} trailing"})
        EXPECT_FALSE(MacUpdateRelease::decode(text)) << text;
    auto notObject = MacUpdateRelease::decode(R"({"linux": [1, 2]})");
    ASSERT_TRUE(notObject);
    EXPECT_FALSE(notObject->linuxUpdate);
}

TEST(MacUpdate, NewerBuildRule) {
    struct Case {
        const char* running;
        const char* offered;
        bool newer;
    };
    const Case cases[] = {
        {"41", "42", true},
        {"42", "42", false},
        {"43", "42", false},
        {"9", "10", true},
        {"", "42", false},
        {"dev", "42", false},
        {"41.1", "42", false},
        {"+41", "42", true},
        {"-1", "1", true},
        {"41", "x", false},
        {"99999999999999999999", "42", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.running) + " vs " + c.offered);
        EXPECT_EQ(isNewerBuild(c.running, c.offered), c.newer);
    }
}

TEST(MacUpdate, BuildNumbersAcceptOneSign) {
    EXPECT_EQ(parseBuildNumber("+7"), 7);
    EXPECT_EQ(parseBuildNumber("-7"), -7);
    EXPECT_EQ(parseBuildNumber("007"), 7);
    for (const char* text : {"", "+", "-", "+-7", "++7", " 7", "7 ", "0x7", "7.0"})
        EXPECT_FALSE(parseBuildNumber(text)) << text;
}

TEST(MacUpdate, MinimumPlatformVersionRule) {
    struct Case {
        const char* minimum;
        const char* running;
        bool fits;
    };
    const Case cases[] = {
        {"2.31", "2.36", true},   {"2.36", "2.36", true},     {"2.37", "2.36", false}, {"3", "2.36", false},
        {"2", "2.36", true},      {"2.36.9", "2.36", true},   {"2..36", "2.36", true}, {"abc", "2.36", false},
        {"", "2.36", false},      {"x.2.y.30", "2.36", true}, {"2.3", "2.36", true},   {"2.40", "2.4", false},
        {"2.36", "2.36.1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.minimum) + " on " + c.running);
        EXPECT_EQ(fitsPlatform(c.minimum, c.running), c.fits);
    }
}

TEST(MacUpdate, CheckMessages) {
    MacUpdate update = validRelease();
    update.minimumOS = "abc";
    EXPECT_EQ(checkMessage(update, true, false), "新版本 2.1.0（42）需要 glibc abc 或更高版本");
    EXPECT_EQ(checkMessage(update, true, true), "发现新版本 2.1.0（42）");
    EXPECT_EQ(checkMessage(update, false, true), "已是最新版本");
    EXPECT_EQ(checkMessage(update, false, false), "已是最新版本");
}
