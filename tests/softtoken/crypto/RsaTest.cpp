#include "softtoken/crypto/Rsa.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <openssl/bn.h>

using namespace softtoken::crypto;
using namespace softtoken::crypto::test;

namespace {

struct MdCtxDel {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

// SHA-256 signature computed straight with OpenSSL, independent of the token's contexts.
Bytes opensslSign(EVP_PKEY* key, const Bytes& data) {
    std::unique_ptr<EVP_MD_CTX, MdCtxDel> ctx(EVP_MD_CTX_new());
    std::size_t len = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &len, data.data(), data.size()) != 1) {
        return {};
    }
    Bytes sig(len);
    if (EVP_DigestSign(ctx.get(), sig.data(), &len, data.data(), data.size()) != 1) {
        return {};
    }
    sig.resize(len);
    return sig;
}

bool opensslVerify(EVP_PKEY* key, const Bytes& data, const Bytes& sig) {
    std::unique_ptr<EVP_MD_CTX, MdCtxDel> ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

void expectMinimal(const Bytes& b, const char* what) {
    ASSERT_FALSE(b.empty()) << what;
    EXPECT_NE(b.front(), 0) << what << " has a leading zero";
}

} // namespace

TEST(softtoken_crypto_RsaGenerate, ProducesRequestedSizeWithAllParts) {
    for (const RsaKeyParts* parts : {&rsa1024(), &rsa2048()}) {
        const CK_ULONG bits = parts == &rsa1024() ? 1024 : 2048;
        EXPECT_EQ(rsaModulusBits(parts->modulus), bits);
        EXPECT_EQ(parts->publicExponent, (Bytes{0x01, 0x00, 0x01}));
        expectMinimal(parts->modulus, "modulus");
        expectMinimal(parts->privateExponent, "private exponent");
        expectMinimal(parts->prime1, "prime1");
        expectMinimal(parts->prime2, "prime2");
        expectMinimal(parts->exponent1, "exponent1");
        expectMinimal(parts->exponent2, "exponent2");
        expectMinimal(parts->coefficient, "coefficient");
    }
}

TEST(softtoken_crypto_RsaGenerate, RejectsBadSizesAndExponents) {
    RsaKeyParts parts;
    EXPECT_EQ(generateRsaKeyPair(512, {}, parts), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(generateRsaKeyPair(kRsaMaxModulusBits + 8, {}, parts), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(generateRsaKeyPair(1024, {0x01, 0x00, 0x00}, parts), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(generateRsaKeyPair(1024, {0x01}, parts), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(generateRsaKeyPair(1024, Bytes(9, 0x01), parts), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_TRUE(parts.modulus.empty());
}

TEST(softtoken_crypto_RsaGenerate, HonoursAnotherExponentWithLeadingZeros) {
    RsaKeyParts parts;
    ASSERT_EQ(generateRsaKeyPair(1024, {0x00, 0x03}, parts), CKR_OK);
    EXPECT_EQ(parts.publicExponent, Bytes{0x03});
}

TEST(softtoken_crypto_RsaKeys, PrivateFromPartsSignsAndPublicVerifies) {
    const RsaKeyParts& parts = rsa2048();
    const PkeyPtr priv = makeRsaPrivateKey(parts);
    const PkeyPtr pub = makeRsaPublicKey(parts.modulus, parts.publicExponent);
    ASSERT_TRUE(priv && pub);
    EXPECT_EQ(rsaModulusBytes(priv.get()), 256u);
    EXPECT_EQ(rsaModulusBytes(pub.get()), 256u);

    const Bytes data = bytesOf("message");
    const Bytes sig = opensslSign(priv.get(), data);
    ASSERT_EQ(sig.size(), 256u);
    EXPECT_TRUE(opensslVerify(pub.get(), data, sig));
    EXPECT_FALSE(opensslVerify(pub.get(), bytesOf("massage"), sig));
}

TEST(softtoken_crypto_RsaKeys, IncompleteCrtValuesGiveTheSameSignatures) {
    // PKCS#1 v1.5 is deterministic, so every form of the same key must agree.
    const RsaKeyParts& full = rsa1024();
    const Bytes data = bytesOf("same key, fewer parts");
    const Bytes expected = opensslSign(makeRsaPrivateKey(full).get(), data);
    ASSERT_FALSE(expected.empty());

    RsaKeyParts ned;
    ned.modulus = full.modulus;
    ned.publicExponent = full.publicExponent;
    ned.privateExponent = full.privateExponent;
    const PkeyPtr nedKey = makeRsaPrivateKey(ned);
    ASSERT_TRUE(nedKey);
    EXPECT_EQ(opensslSign(nedKey.get(), data), expected);
    // The primes were recovered, so the key signs through the CRT path.
    BIGNUM* factor = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(nedKey.get(), "rsa-factor1", &factor), 1);
    Bytes p(static_cast<std::size_t>(BN_num_bytes(factor)));
    BN_bn2bin(factor, p.data());
    BN_free(factor);
    EXPECT_TRUE(p == full.prime1 || p == full.prime2);

    RsaKeyParts wrongD = ned;
    wrongD.privateExponent.back() ^= 0x04;
    EXPECT_TRUE(makeRsaPrivateKey(wrongD)) << "still usable, just without CRT";

    RsaKeyParts primesOnly = ned;
    primesOnly.prime1 = full.prime1;
    primesOnly.prime2 = full.prime2;
    const PkeyPtr primesKey = makeRsaPrivateKey(primesOnly);
    ASSERT_TRUE(primesKey);
    EXPECT_EQ(opensslSign(primesKey.get(), data), expected);
}

TEST(softtoken_crypto_RsaKeys, RejectsMissingOrInconsistentValues) {
    const RsaKeyParts& full = rsa1024();
    RsaKeyParts noD = full;
    noD.privateExponent.clear();
    EXPECT_FALSE(makeRsaPrivateKey(noD));

    RsaKeyParts badPrime = full;
    badPrime.prime1.back() ^= 0x02; // stays odd, no longer divides n
    EXPECT_FALSE(makeRsaPrivateKey(badPrime));

    EXPECT_FALSE(makeRsaPublicKey({}, full.publicExponent));
    EXPECT_FALSE(makeRsaPublicKey(full.modulus, {}));
    Bytes even = full.modulus;
    even.back() &= 0xFE;
    EXPECT_FALSE(makeRsaPublicKey(even, full.publicExponent));
}

TEST(softtoken_crypto_RsaKeys, ModulusBitsIgnoreLeadingZeros) {
    EXPECT_EQ(rsaModulusBits({}), 0u);
    EXPECT_EQ(rsaModulusBits({0x00, 0x00}), 0u);
    EXPECT_EQ(rsaModulusBits({0x01}), 1u);
    EXPECT_EQ(rsaModulusBits({0x00, 0x80, 0x00, 0x01}), 24u);
    EXPECT_EQ(rsaModulusBytes(nullptr), 0u);
}
