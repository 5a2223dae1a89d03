#include "crypto/P256.h"

#include <cstdlib>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

namespace quorlinth::crypto {

namespace {

constexpr size_t kCoordinateSize = 32;
constexpr uint8_t kUncompressedPointTag = 0x04;

template <class T, void (*Free)(T*)> struct Deleter {
    void operator()(T* value) const { Free(value); }
};
using BigNumber = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using BigNumberContext = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

void require(bool succeeded) {
    if (!succeeded) std::abort();
}

std::shared_ptr<EVP_PKEY> shareKey(EVP_PKEY* key) {
    return {key, EVP_PKEY_free};
}

const EC_GROUP* curve() {
    static EC_GROUP* const group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    require(group != nullptr);
    return group;
}

BigNumber fromBigEndian(const uint8_t* bytes, size_t size) {
    return BigNumber(BN_bin2bn(bytes, static_cast<int>(size), nullptr));
}

// In [1, n-1], the valid range for a private scalar and for the r and s of a signature.
bool inScalarRange(const BIGNUM* value) {
    return !BN_is_zero(value) && BN_cmp(value, EC_GROUP_get0_order(curve())) < 0;
}

Bytes toFixedBigEndian(const BIGNUM* value, size_t size) {
    Bytes bytes(size);
    require(BN_bn2binpad(value, bytes.data(), static_cast<int>(size)) == static_cast<int>(size));
    return bytes;
}

// 0x04 || X || Y when `rawPublic64` is a point on the curve; nullopt otherwise.
std::optional<Bytes> encodedPoint(const Bytes& rawPublic64) {
    if (rawPublic64.size() != kP256PublicKeySize) return std::nullopt;
    Bytes encoded{kUncompressedPointTag};
    encoded.insert(encoded.end(), rawPublic64.begin(), rawPublic64.end());
    Point point(EC_POINT_new(curve()));
    if (!point || EC_POINT_oct2point(curve(), point.get(), encoded.data(), encoded.size(), nullptr) != 1 ||
        EC_POINT_is_on_curve(curve(), point.get(), nullptr) != 1) {
        return std::nullopt;
    }
    return encoded;
}

// Builds an EVP key from parameters; `privateScalar` may be null for a public key.
EVP_PKEY* keyFromParts(const BIGNUM* privateScalar, const Bytes& encodedPublic) {
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder) return nullptr;
    if (OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1, 0) !=
            1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, encodedPublic.data(),
                                         encodedPublic.size()) != 1) {
        return nullptr;
    }
    if (privateScalar &&
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateScalar) != 1) {
        return nullptr;
    }
    Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1) return nullptr;
    EVP_PKEY* key = nullptr;
    const int selection = privateScalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
    if (EVP_PKEY_fromdata(context.get(), &key, selection, params.get()) != 1) return nullptr;
    return key;
}

BigNumber bigNumberParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    require(EVP_PKEY_get_bn_param(key, name, &value) == 1);
    return BigNumber(value);
}

} // namespace

P256SigningKey P256SigningKey::generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", SN_X9_62_prime256v1);
    require(key != nullptr);
    return P256SigningKey(shareKey(key));
}

std::optional<P256SigningKey> P256SigningKey::fromRaw(const Bytes& scalar32) {
    if (scalar32.size() != kP256PrivateKeySize) return std::nullopt;
    BigNumber scalar = fromBigEndian(scalar32.data(), scalar32.size());
    if (!scalar || !inScalarRange(scalar.get())) return std::nullopt;

    // The key import needs the public point too: Q = d * G.
    Point publicPoint(EC_POINT_new(curve()));
    BigNumberContext numbers(BN_CTX_new());
    if (!publicPoint || !numbers ||
        EC_POINT_mul(curve(), publicPoint.get(), scalar.get(), nullptr, nullptr, numbers.get()) != 1) {
        return std::nullopt;
    }
    Bytes encodedPublic(1 + kP256PublicKeySize);
    if (EC_POINT_point2oct(curve(), publicPoint.get(), POINT_CONVERSION_UNCOMPRESSED, encodedPublic.data(),
                           encodedPublic.size(), numbers.get()) != encodedPublic.size()) {
        return std::nullopt;
    }
    EVP_PKEY* key = keyFromParts(scalar.get(), encodedPublic);
    if (!key) return std::nullopt;
    return P256SigningKey(shareKey(key));
}

Bytes P256SigningKey::rawPrivate() const {
    return toFixedBigEndian(bigNumberParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY).get(), kP256PrivateKeySize);
}

Bytes P256SigningKey::rawPublic() const {
    Bytes raw = toFixedBigEndian(bigNumberParam(key.get(), OSSL_PKEY_PARAM_EC_PUB_X).get(), kCoordinateSize);
    Bytes y = toFixedBigEndian(bigNumberParam(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y).get(), kCoordinateSize);
    raw.insert(raw.end(), y.begin(), y.end());
    return raw;
}

Bytes P256SigningKey::sign(const Bytes& message) const {
    DigestContext context(EVP_MD_CTX_new());
    require(context && EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1);
    size_t derSize = 0;
    require(EVP_DigestSign(context.get(), nullptr, &derSize, message.data(), message.size()) == 1);
    Bytes der(derSize);
    require(EVP_DigestSign(context.get(), der.data(), &derSize, message.data(), message.size()) == 1);

    const uint8_t* cursor = der.data();
    Signature signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derSize)));
    require(signature != nullptr);
    Bytes raw = toFixedBigEndian(ECDSA_SIG_get0_r(signature.get()), kCoordinateSize);
    Bytes s = toFixedBigEndian(ECDSA_SIG_get0_s(signature.get()), kCoordinateSize);
    raw.insert(raw.end(), s.begin(), s.end());
    return raw;
}

bool p256Verify(const Bytes& rawPublic64, const Bytes& message, const Bytes& signature64) {
    if (signature64.size() != kP256SignatureSize) return false;
    std::optional<Bytes> encodedPublic = encodedPoint(rawPublic64);
    if (!encodedPublic) return false;
    BigNumber r = fromBigEndian(signature64.data(), kCoordinateSize);
    BigNumber s = fromBigEndian(signature64.data() + kCoordinateSize, kCoordinateSize);
    if (!r || !s || !inScalarRange(r.get()) || !inScalarRange(s.get())) return false;

    Signature signature(ECDSA_SIG_new());
    if (!signature || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) return false;
    r.release(); // now owned by the signature
    s.release();
    unsigned char* der = nullptr;
    const int derSize = i2d_ECDSA_SIG(signature.get(), &der);
    if (derSize <= 0) return false;
    const Bytes derBytes(der, der + derSize);
    OPENSSL_free(der);

    std::shared_ptr<EVP_PKEY> key = shareKey(keyFromParts(nullptr, *encodedPublic));
    DigestContext context(EVP_MD_CTX_new());
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), derBytes.data(), derBytes.size(), message.data(),
                            message.size()) == 1;
}

} // namespace quorlinth::crypto
