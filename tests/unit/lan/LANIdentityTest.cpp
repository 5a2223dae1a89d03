#include "lan/LANIdentity.h"

#include <gtest/gtest.h>
#include <map>
#include <regex>

namespace quorlinth {
namespace {

// Items in memory; `failWrites` makes every change fail like a locked keyring.
class MemoryKeyStore : public KeyStore {
public:
    bool failWrites = false;
    std::map<std::pair<std::string, std::string>, Bytes> items;

    std::optional<Bytes> read(const std::string& service, const std::string& account) override {
        auto it = items.find({service, account});
        if (it == items.end()) return std::nullopt;
        return it->second;
    }
    Result<void> write(const std::string& service, const std::string& account, const Bytes& data) override {
        if (failWrites) return Error{"locked"};
        items[{service, account}] = data;
        return {};
    }
    Result<void> remove(const std::string& service, const std::string& account) override {
        if (failWrites) return Error{"locked"};
        items.erase({service, account});
        return {};
    }
};

TEST(LANIdentity, IsCreatedOnceAndKeptAsRawScalar) {
    MemoryKeyStore keys;
    auto first = loadIdentity(keys);
    auto stored = keys.read(kLANIdentityService, kLANIdentityAccount);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 32u);
    EXPECT_EQ(*stored, first.rawPrivate());
    EXPECT_EQ(publicKeyText(loadIdentity(keys)), publicKeyText(first));
}

TEST(LANIdentity, InvalidStoredDataIsReplaced) {
    for (const Bytes& bad : {Bytes(31, 7), Bytes(32, 0), Bytes(33, 7), Bytes(32, 0xff)}) {
        MemoryKeyStore keys;
        keys.items[{kLANIdentityService, kLANIdentityAccount}] = bad;
        auto key = loadIdentity(keys);
        EXPECT_EQ(keys.read(kLANIdentityService, kLANIdentityAccount), key.rawPrivate());
    }
}

TEST(LANIdentity, KeyStoreFailureStillGivesAWorkingKey) {
    MemoryKeyStore keys;
    keys.failWrites = true;
    auto key = loadIdentity(keys);
    EXPECT_TRUE(verify(publicKeyText(key), sign("host|n|k", key), "host|n|k"));
    EXPECT_TRUE(keys.items.empty());
}

TEST(LANIdentity, SignaturesVerifyOnlyForTheSignedTextAndKey) {
    auto key = crypto::P256SigningKey::generate();
    auto other = crypto::P256SigningKey::generate();
    std::string keyText = publicKeyText(key);
    std::string text = "host|0123456789abcdef0123456789abcdef|" + publicKeyText(other);
    std::string signature = sign(text, key);
    EXPECT_EQ(base64Decode(keyText)->size(), 64u);
    EXPECT_EQ(base64Decode(signature)->size(), 64u);
    EXPECT_TRUE(verify(keyText, signature, text));

    std::string oneCharacterOff = text;
    oneCharacterOff[5] = '1';
    std::string truncatedKey = keyText.substr(0, 40);
    std::string offCurve = base64Encode(Bytes(64, 1));
    struct Case {
        const char* label;
        std::string key;
        std::optional<std::string> signature;
        std::string text;
    };
    const Case cases[] = {
        {"text differs in one character", keyText, signature, oneCharacterOff},
        {"another key", publicKeyText(other), signature, text},
        {"no signature", keyText, std::nullopt, text},
        {"signature not base64", keyText, "***", text},
        {"signature too short", keyText, base64Encode(Bytes(63, 1)), text},
        {"key not base64", "not a key!", signature, text},
        {"key of wrong length", truncatedKey, signature, text},
        {"key off the curve", offCurve, signature, text},
        {"65-byte key with prefix", base64Encode([&] {
             Bytes prefixed{4};
             auto raw = key.rawPublic();
             prefixed.insert(prefixed.end(), raw.begin(), raw.end());
             return prefixed;
         }()),
         signature, text},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(verify(c.key, c.signature, c.text));
    }
}

TEST(LANIdentity, PasswordProofIsHmacOverTheJoinedTexts) {
    // printf 'password|00112233445566778899aabbccddeeff|CKEY|HKEY' | openssl dgst -sha256 -hmac abc23def45
    EXPECT_EQ(passwordProof("abc23def45", "00112233445566778899aabbccddeeff", "CKEY", "HKEY"),
              "4nbgpstAubtB808KyXiWP8sWEOKNPMSdDwLof1EDlYc=");
    EXPECT_NE(passwordProof("abc23def46", "00112233445566778899aabbccddeeff", "CKEY", "HKEY"),
              passwordProof("abc23def45", "00112233445566778899aabbccddeeff", "CKEY", "HKEY"));
}

TEST(LANIdentity, FingerprintIsThreeGroupsOfUpperCaseHex) {
    // printf QUJD | sha256sum → d9cae0dbdbf0...
    EXPECT_EQ(fingerprint("QUJD"), "D9CA-E0DB-DBF0");
    std::regex shape("[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}");
    for (const std::string& text : {std::string(), publicKeyText(crypto::P256SigningKey::generate()),
                                    std::string("中文 key"), std::string(1000, 'k')}) {
        auto value = fingerprint(text);
        EXPECT_EQ(value.size(), 14u);
        EXPECT_TRUE(std::regex_match(value, shape)) << value;
    }
}

TEST(LANIdentity, NoncesAreFreshLowerCaseHex) {
    std::regex shape("[0-9a-f]{32}");
    std::string first = makeNonce();
    EXPECT_TRUE(std::regex_match(first, shape)) << first;
    EXPECT_NE(makeNonce(), first);
}

} // namespace
} // namespace quorlinth
