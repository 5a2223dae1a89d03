#include "crypto/Hmac.h"
#include "crypto/Sha256.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using namespace quorlinth::crypto;

namespace {

Bytes repeated(uint8_t byte, size_t count) {
    return Bytes(count, byte);
}

struct DigestCase {
    const char* name;
    std::string message;
    const char* digest;
};

// FIPS 180-2 appendix B and the usual empty-message value.
const DigestCase kDigestCases[] = {
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrs"
     "tnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
};

} // namespace

TEST(Sha256, KnownAnswers) {
    for (const DigestCase& row : kDigestCases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(hexEncode(sha256(std::string_view(row.message))), row.digest);
        EXPECT_EQ(hexEncode(sha256(toBytes(row.message))), row.digest);
    }
}

TEST(Sha256, IncrementalMillionAInUnevenPieces) {
    const std::string piece(7919, 'a'); // a prime, so the pieces never line up with the 64-byte blocks
    Sha256 hash;
    size_t remaining = 1'000'000;
    int turn = 0;
    while (remaining > 0) {
        const size_t size = std::min(remaining, piece.size() - (turn++ % 64));
        if (turn % 3 == 0) {
            hash.update(std::string_view(piece).substr(0, size));
        } else if (turn % 3 == 1) {
            hash.update(Bytes(piece.begin(), piece.begin() + static_cast<long>(size)));
        } else {
            hash.update(reinterpret_cast<const uint8_t*>(piece.data()), size);
        }
        remaining -= size;
    }
    EXPECT_EQ(hexEncode(hash.finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, FinishStartsOverAndEmptyUpdatesAreHarmless) {
    Sha256 hash;
    hash.update(std::string_view("ab"));
    hash.update(Bytes{});
    hash.update(nullptr, 0);
    hash.update(std::string_view("c"));
    const Bytes first = hash.finish();
    hash.update(std::string_view("abc"));
    EXPECT_EQ(hash.finish(), first);
    EXPECT_EQ(hexEncode(hash.finish()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256, MovedHashContinues) {
    Sha256 hash;
    hash.update(std::string_view("ab"));
    Sha256 moved = std::move(hash);
    moved.update(std::string_view("c"));
    EXPECT_EQ(hexEncode(moved.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(HmacSha256, Rfc4231Vectors) {
    Bytes rangeKey;
    for (uint8_t value = 0x01; value <= 0x19; ++value)
        rangeKey.push_back(value);
    struct Case {
        const char* name;
        Bytes key;
        Bytes data;
        const char* tag; // case 5 is truncated to 128 bits in the RFC
    };
    const Case cases[] = {
        {"case 1", repeated(0x0b, 20), toBytes("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"case 2", toBytes("Jefe"), toBytes("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"case 3", repeated(0xaa, 20), repeated(0xdd, 50),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"case 4", rangeKey, repeated(0xcd, 50),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"case 5", repeated(0x0c, 20), toBytes("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
        {"case 6", repeated(0xaa, 131), toBytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"case 7", repeated(0xaa, 131),
         toBytes(
             "This is a test using a larger than block-size key and a larger than block-size data. The key "
             "needs to be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        {"empty key and data", {}, {}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string tag = hexEncode(hmacSha256(row.key, row.data));
        ASSERT_EQ(tag.size(), 64u);
        EXPECT_EQ(tag.substr(0, std::string(row.tag).size()), row.tag);
    }
}
