#include "model/MacSharingSettings.h"

#include "ScriptedHttpServer.h"
#include "store/UserDefaults.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

struct SettingsFile {
    SettingsFile()
        : folder(quorlinth::testing::makeTemporaryFolder("quorlinth-settings-")),
          defaults(folder / "d.json") {}
    ~SettingsFile() { std::filesystem::remove_all(folder); }
    std::filesystem::path folder;
    UserDefaults defaults;
    std::vector<std::string> logged;
    MacSharingSettings settings{defaults, [this](const std::string& line) { logged.push_back(line); }};
};

} // namespace

TEST(MacSharingSettings, QualityComesFromTheNewKeyOrCarriesOverAnOlderStandardChoice) {
    struct Case {
        std::optional<std::string> current, older;
        MacShareQuality expected;
    };
    const Case cases[] = {
        {"sharp", "standard", MacShareQuality::sharp},
        {std::nullopt, "standard", MacShareQuality::standard},
        {"bogus", "standard", MacShareQuality::standard},
        {std::nullopt, "sharp", MacShareQuality::native},
        {std::nullopt, std::nullopt, MacShareQuality::native},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.current.value_or("-") + " / " + c.older.value_or("-"));
        SettingsFile file;
        if (c.current) file.defaults.set(MacSharingSettings::kQualityKey, *c.current);
        if (c.older) file.defaults.set(MacSharingSettings::kOldQualityKey, *c.older);
        EXPECT_EQ(file.settings.quality(), c.expected);
    }
    SettingsFile file;
    file.defaults.set(MacSharingSettings::kOldQualityKey, "standard");
    file.settings.setQuality(file.settings.quality());
    EXPECT_EQ(file.defaults.string(MacSharingSettings::kQualityKey), "standard");
}

TEST(MacSharingSettings, AccessDecodesOnlyAsAWhole) {
    struct Case {
        const char* what;
        const char* stored;
        size_t entries;
    };
    const Case cases[] = {
        {"two entries", R"({"D1":{"trustedDevices":["P1","P2"],"startAtLogin":true,"restoreInput":false},
                            "D2":{"trustedDevices":[],"startAtLogin":false,"restoreInput":true}})",
         2},
        {"one entry misses restoreInput",
         R"({"D1":{"trustedDevices":[],"startAtLogin":true,"restoreInput":false},
                                              "D2":{"trustedDevices":[],"startAtLogin":false}})",
         0},
        {"a trusted id that is not a string",
         R"({"D1":{"trustedDevices":[1],"startAtLogin":true,"restoreInput":false}})", 0},
        {"a flag given as a string",
         R"({"D1":{"trustedDevices":[],"startAtLogin":"yes","restoreInput":false}})", 0},
        {"not JSON", "{\"D1\":", 0},
        {"an array", "[]", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SettingsFile file;
        file.defaults.set(MacSharingSettings::kAccessKey, toBytes(c.stored));
        EXPECT_EQ(file.settings.access().size(), c.entries);
        EXPECT_EQ(file.logged.size(), c.entries ? 0u : 1u);
    }
}

TEST(MacSharingSettings, AccessRoundTripsAndSwitchesKeepTheirDefaults) {
    SettingsFile file;
    EXPECT_TRUE(file.settings.keepAwake());
    EXPECT_FALSE(file.settings.allowTransfer());
    MacSharingAccessMap access{{"D1", {{"P1", "P2"}, true, true}}, {"D2", {{}, false, false}}};
    file.settings.setAccess(access);
    file.settings.setKeepAwake(false);
    file.settings.setAllowTransfer(true);
    UserDefaults reread(file.folder / "d.json");
    MacSharingSettings again(reread, [](const std::string&) {});
    EXPECT_EQ(again.access(), access);
    EXPECT_FALSE(again.keepAwake());
    EXPECT_TRUE(again.allowTransfer());
}
