#include "crypto/P256.h"

#include "crypto/Sha256.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using namespace quorlinth;
using namespace quorlinth::crypto;

namespace {

namespace fs = std::filesystem;

const char* kGeneratorX = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
const char* kGeneratorY = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
const char* kOrder = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

Bytes hex(const std::string& text) {
    return hexDecode(text).value();
}

Bytes concat(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Minimal DER for the command-line tool: an ECDSA signature and a P-256 SubjectPublicKeyInfo.
Bytes derInteger(const Bytes& bigEndian) {
    size_t start = 0;
    while (start + 1 < bigEndian.size() && bigEndian[start] == 0)
        ++start;
    Bytes value(bigEndian.begin() + static_cast<long>(start), bigEndian.end());
    if (value[0] & 0x80) value.insert(value.begin(), 0);
    Bytes encoded{0x02, static_cast<uint8_t>(value.size())};
    return concat(encoded, value);
}

Bytes derSignature(const Bytes& raw) {
    const Bytes body = concat(derInteger(Bytes(raw.begin(), raw.begin() + 32)),
                              derInteger(Bytes(raw.begin() + 32, raw.end())));
    return concat(Bytes{0x30, static_cast<uint8_t>(body.size())}, body);
}

Bytes rawFromDerSignature(const Bytes& der) {
    // 30 len 02 rlen r 02 slen s, short lengths only (always so for P-256)
    size_t at = 2;
    Bytes raw;
    for (int part = 0; part < 2; ++part) {
        EXPECT_EQ(der.at(at), 0x02);
        const size_t length = der.at(at + 1);
        Bytes value(der.begin() + static_cast<long>(at + 2),
                    der.begin() + static_cast<long>(at + 2 + length));
        while (value.size() > 32 && value[0] == 0)
            value.erase(value.begin());
        raw.insert(raw.end(), 32 - value.size(), 0);
        raw.insert(raw.end(), value.begin(), value.end());
        at += 2 + length;
    }
    return raw;
}

const Bytes kSpkiPrefix = hex("3059301306072a8648ce3d020106082a8648ce3d030107034200");

std::string pemPublicKey(const Bytes& rawPublic) {
    const std::string body = base64Encode(concat(concat(kSpkiPrefix, Bytes{0x04}), rawPublic));
    std::string pem = "-----BEGIN PUBLIC KEY-----\n";
    for (size_t at = 0; at < body.size(); at += 64)
        pem += body.substr(at, 64) + "\n";
    return pem + "-----END PUBLIC KEY-----\n";
}

class P256WithOpenSslTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("openssl version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "the openssl tool is not installed";
        folder = fs::temp_directory_path() / ("p256-test-" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    fs::path file(const std::string& name) const { return folder / name; }
    void writeFile(const std::string& name, const Bytes& bytes) const {
        std::ofstream(file(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    Bytes readFile(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    int run(const std::string& command) const {
        return std::system(("cd " + folder.string() + " && " + command + " >/dev/null 2>&1").c_str());
    }

    fs::path folder;
};

} // namespace

TEST(P256SigningKey, GeneratedKeySignsAndVerifies) {
    const P256SigningKey key = P256SigningKey::generate();
    EXPECT_EQ(key.rawPrivate().size(), kP256PrivateKeySize);
    ASSERT_EQ(key.rawPublic().size(), kP256PublicKeySize);
    for (const Bytes& message : {Bytes{}, toBytes("hello"), Bytes(100'000, 0x5a)}) {
        SCOPED_TRACE(message.size());
        const Bytes signature = key.sign(message);
        ASSERT_EQ(signature.size(), kP256SignatureSize);
        EXPECT_TRUE(p256Verify(key.rawPublic(), message, signature));
        Bytes otherMessage = message;
        otherMessage.push_back(1);
        EXPECT_FALSE(p256Verify(key.rawPublic(), otherMessage, signature));
        Bytes flipped = signature;
        flipped[40] ^= 0x01;
        EXPECT_FALSE(p256Verify(key.rawPublic(), message, flipped));
        EXPECT_FALSE(p256Verify(P256SigningKey::generate().rawPublic(), message, signature));
    }
    EXPECT_NE(P256SigningKey::generate().rawPrivate(), key.rawPrivate());
}

TEST(P256SigningKey, RawPrivateKeyRoundTrips) {
    const P256SigningKey key = P256SigningKey::generate();
    const std::optional<P256SigningKey> restored = P256SigningKey::fromRaw(key.rawPrivate());
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->rawPrivate(), key.rawPrivate());
    EXPECT_EQ(restored->rawPublic(), key.rawPublic());
    EXPECT_TRUE(p256Verify(key.rawPublic(), toBytes("m"), restored->sign(toBytes("m"))));
}

TEST(P256SigningKey, ScalarOneGivesTheGenerator) {
    Bytes one(32, 0);
    one[31] = 1;
    const std::optional<P256SigningKey> key = P256SigningKey::fromRaw(one);
    ASSERT_TRUE(key);
    EXPECT_EQ(hexEncode(key->rawPublic()), std::string(kGeneratorX) + kGeneratorY);
    EXPECT_EQ(key->rawPrivate(), one);
}

TEST(P256SigningKey, RejectsInvalidScalars) {
    Bytes orderMinusOne = hex(kOrder);
    orderMinusOne[31] -= 1;
    ASSERT_TRUE(P256SigningKey::fromRaw(orderMinusOne));
    struct Case {
        const char* name;
        Bytes scalar;
    };
    const Case cases[] = {
        {"empty", {}},          {"31 bytes", Bytes(31, 7)},       {"33 bytes", Bytes(33, 7)},
        {"zero", Bytes(32, 0)}, {"the group order", hex(kOrder)}, {"above the order", Bytes(32, 0xff)},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(P256SigningKey::fromRaw(row.scalar));
    }
}

TEST(P256Verify, MalformedKeysAndSignaturesAreFalse) {
    const P256SigningKey key = P256SigningKey::generate();
    const Bytes message = toBytes("message");
    const Bytes signature = key.sign(message);
    const Bytes publicKey = key.rawPublic();
    Bytes offCurve = hex(std::string(kGeneratorX) + kGeneratorY);
    offCurve[63] ^= 0x01;
    const Bytes zero(32, 0);
    const Bytes order = hex(kOrder);
    const Bytes r(signature.begin(), signature.begin() + 32);
    const Bytes s(signature.begin() + 32, signature.end());
    struct Case {
        const char* name;
        Bytes publicKey;
        Bytes signature;
    };
    const Case cases[] = {
        {"empty key", {}, signature},
        {"63-byte key", Bytes(publicKey.begin(), publicKey.end() - 1), signature},
        {"65-byte key with prefix", concat(Bytes{0x04}, publicKey), signature},
        {"point not on the curve", offCurve, signature},
        {"all-zero key", Bytes(64, 0), signature},
        {"all-ones key", Bytes(64, 0xff), signature},
        {"empty signature", publicKey, {}},
        {"63-byte signature", publicKey, Bytes(signature.begin(), signature.end() - 1)},
        {"65-byte signature", publicKey, concat(signature, Bytes{0})},
        {"DER signature", publicKey, derSignature(signature)},
        {"r = 0", publicKey, concat(zero, s)},
        {"s = 0", publicKey, concat(r, zero)},
        {"r = n", publicKey, concat(order, s)},
        {"s = n", publicKey, concat(r, order)},
        {"r and s all ones", publicKey, Bytes(64, 0xff)},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(p256Verify(row.publicKey, message, row.signature));
    }
    EXPECT_TRUE(p256Verify(publicKey, message, signature));
}

TEST_F(P256WithOpenSslTool, VerifiesOurSignature) {
    const P256SigningKey key = P256SigningKey::generate();
    const Bytes message = toBytes("signed by us, checked by the command-line tool");
    writeFile("message", message);
    writeFile("signature.der", derSignature(key.sign(message)));
    std::ofstream(file("public.pem")) << pemPublicKey(key.rawPublic());
    EXPECT_EQ(run("openssl dgst -sha256 -verify public.pem -signature signature.der message"), 0);

    writeFile("other", toBytes("another message"));
    EXPECT_NE(run("openssl dgst -sha256 -verify public.pem -signature signature.der other"), 0);
}

TEST_F(P256WithOpenSslTool, WeVerifyItsSignatureAndImportItsKey) {
    ASSERT_EQ(run("openssl ecparam -name prime256v1 -genkey -noout -out key.pem"), 0);
    ASSERT_EQ(run("openssl ec -in key.pem -pubout -outform DER -out public.der"), 0);
    ASSERT_EQ(run("openssl ec -in key.pem -outform DER -out private.der"), 0);
    const Bytes message = toBytes("signed by the command-line tool");
    writeFile("message", message);
    ASSERT_EQ(run("openssl dgst -sha256 -sign key.pem -out signature.der message"), 0);

    const Bytes spki = readFile("public.der");
    ASSERT_EQ(spki.size(), kSpkiPrefix.size() + 65);
    const Bytes rawPublic(spki.end() - 64, spki.end());
    const Bytes signature = rawFromDerSignature(readFile("signature.der"));
    EXPECT_TRUE(p256Verify(rawPublic, message, signature));
    EXPECT_FALSE(p256Verify(rawPublic, toBytes("something else"), signature));

    // ECPrivateKey: 30 77 02 01 01 04 20 <32-byte scalar> ...
    const Bytes der = readFile("private.der");
    ASSERT_GE(der.size(), 39u);
    ASSERT_EQ(der[5], 0x04);
    ASSERT_EQ(der[6], 0x20);
    const std::optional<P256SigningKey> imported =
        P256SigningKey::fromRaw(Bytes(der.begin() + 7, der.begin() + 39));
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->rawPublic(), rawPublic);
}
