#include "updates/UpdateSignature.h"

#include "crypto/P256.h"
#include "crypto/Sha256.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(UpdateSignature, OnlyTheReleaseKeyOverThisDigestPasses) {
    auto releaseKey = crypto::P256SigningKey::generate();
    auto otherKey = crypto::P256SigningKey::generate();
    Bytes digest = crypto::sha256(std::string_view("archive bytes"));
    Bytes otherDigest = crypto::sha256(std::string_view("other bytes"));
    std::string good = base64Encode(releaseKey.sign(digest));
    Bytes flipped = releaseKey.sign(digest);
    flipped[10] ^= 0x01;

    struct Case {
        const char* name;
        Bytes key;
        Bytes digest;
        std::string signature;
        bool valid;
    };
    const Case cases[] = {
        {"release key", releaseKey.rawPublic(), digest, good, true},
        {"signed by another key", releaseKey.rawPublic(), digest, base64Encode(otherKey.sign(digest)), false},
        {"checked against another key", otherKey.rawPublic(), digest, good, false},
        {"another digest", releaseKey.rawPublic(), otherDigest, good, false},
        {"flipped bit", releaseKey.rawPublic(), digest, base64Encode(flipped), false},
        {"missing", releaseKey.rawPublic(), digest, "", false},
        {"not base64", releaseKey.rawPublic(), digest, "%%%%", false},
        {"too short", releaseKey.rawPublic(), digest, base64Encode(Bytes(63, 1)), false},
        {"no key built in", {}, digest, good, false},
        {"digest not 32 bytes", releaseKey.rawPublic(), toBytes("archive bytes"), good, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verifyReleaseSignature(c.key, c.digest, c.signature), c.valid);
    }
}
