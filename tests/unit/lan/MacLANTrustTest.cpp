#include "lan/MacLANTrust.h"

#include "../store/TestSupport.h"
#include "lan/LANEndpoint.h"

#include <gtest/gtest.h>

namespace quorlinth {
namespace {

using Entry = MacLANTrust::Entry;

class TrustStore : public ::testing::Test {
protected:
    testing::ScratchFolder folder;
    UserDefaults defaults{folder / "defaults.json"};
    std::vector<Entry> reloaded(const char* key) {
        UserDefaults again(defaults.file());
        return MacLANTrust(again, key).entries();
    }
};

TEST_F(TrustStore, AddingAKeyAgainMovesItToTheEndWithTheNewestName) {
    MacLANTrust trust(defaults, kLANTrustedControllersKey);
    trust.add("K1", "甲的 Mac");
    trust.add("K2", "乙");
    trust.add("K1", "甲的新 Mac");
    std::vector<Entry> expected{{"K2", "乙", std::nullopt}, {"K1", "甲的新 Mac", std::nullopt}};
    EXPECT_EQ(trust.entries(), expected);
    EXPECT_TRUE(trust.contains("K1"));
    EXPECT_FALSE(trust.contains("k1"));
    EXPECT_EQ(reloaded(kLANTrustedControllersKey), expected);
    trust.removeKey("K1");
    EXPECT_EQ(reloaded(kLANTrustedControllersKey), (std::vector<Entry>{{"K2", "乙", std::nullopt}}));
}

TEST_F(TrustStore, RememberingAnAddressReplacesItsEntryAndPutsItFirst) {
    MacLANTrust known(defaults, kLANKnownHostsKey);
    known.remember("K1", "10.0.0.2:47120", "客厅");
    known.remember("K2", "10.0.0.3:47120", std::nullopt);
    known.remember("K1", "10.0.0.4:47120", "客厅"); // same key at a second address: both kept
    known.remember("K3", "10.0.0.2:47120", "书房");
    std::vector<Entry> expected{{"K3", "10.0.0.2:47120", "书房"},
                                {"K1", "10.0.0.4:47120", "客厅"},
                                {"K2", "10.0.0.3:47120", std::nullopt}};
    EXPECT_EQ(known.entries(), expected);
    EXPECT_EQ(reloaded(kLANKnownHostsKey), expected);
    known.removeName("10.0.0.4:47120");
    EXPECT_EQ(known.entries().size(), 2u);
}

TEST_F(TrustStore, OnlyCanonicalAddressesAreValidHosts) {
    MacLANTrust known(defaults, kLANKnownHostsKey);
    for (const char* name : {"10.0.0.2", "10.0.0.2:47120", " 10.0.0.3:5900", "mac.local:05900",
                             "mac.local:5900", "a:b:c", "10.0.0.9:70000"})
        known.remember("K", name, std::nullopt);
    std::vector<std::string> valid;
    for (const auto& entry : known.validHosts())
        valid.push_back(entry.name);
    EXPECT_EQ(valid, (std::vector<std::string>{"mac.local:5900", "10.0.0.2:47120"}));
    EXPECT_EQ(known.entries().size(), 7u) << "other entries stay stored";
}

TEST_F(TrustStore, StoredJsonDecodesWithOrWithoutDisplayNameAndBadDataReadsEmpty) {
    defaults.set(kLANKnownHostsKey,
                 toBytes(R"([{"key":"K","name":"h:1"},{"key":"L","name":"h:2","displayName":"书房"}])"));
    MacLANTrust known(defaults, kLANKnownHostsKey);
    EXPECT_EQ(known.entries(),
              (std::vector<Entry>{{"K", "h:1", std::nullopt}, {"L", "h:2", std::string("书房")}}));

    for (const char* bad : {"not json", "{}", R"([{"key":"K"}])", R"([{"key":1,"name":"n"}])"}) {
        defaults.set(kLANTrustedControllersKey, toBytes(bad));
        MacLANTrust trust(defaults, kLANTrustedControllersKey);
        EXPECT_TRUE(trust.entries().empty()) << bad;
        trust.add("K", "n");
        EXPECT_EQ(reloaded(kLANTrustedControllersKey).size(), 1u) << "replaced on the next change";
    }
    defaults.set(kLANTrustedControllersKey, std::string("a string, not data"));
    EXPECT_TRUE(MacLANTrust(defaults, kLANTrustedControllersKey).entries().empty());
}

TEST(LANEndpoint, ParsesHostAndOptionalPort) {
    struct Case {
        const char* text;
        std::optional<LANEndpoint> expected;
    };
    const Case cases[] = {
        {"studio-mac", LANEndpoint{"studio-mac", 47120}},
        {"192.168.1.20:5900", LANEndpoint{"192.168.1.20", 5900}},
        {" \t192.168.1.20 \t", LANEndpoint{"192.168.1.20", 47120}},
        {"host:65535", LANEndpoint{"host", 65535}},
        {"host:0", LANEndpoint{"host", 0}},
        {"host:", std::nullopt},
        {":5900", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"host:65536", std::nullopt},
        {"host:99999999999999999999", std::nullopt},
        {"host:+80", std::nullopt},
        {"host:8 0", std::nullopt},
        {"a:1:2", std::nullopt},
        {"fe80::1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(endpoint(c.text), c.expected);
    }
    EXPECT_EQ(LANEndpoint({"10.0.0.2", 47120}).text(), "10.0.0.2:47120");
}

} // namespace
} // namespace quorlinth
