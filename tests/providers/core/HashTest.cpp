#include "ErrorOf.h"
#include "TestKeys.h"

#include "providers/core/Hash.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace providers;
using namespace providers::testing;

namespace {

struct Algorithm {
    ALG_ID algid;
    const EVP_MD* (*md)();
};
const Algorithm algorithms[] = {{CALG_MD5, EVP_md5}, {CALG_SHA1, EVP_sha1}, {CALG_SHA_256, EVP_sha256}};

Bytes opensslDigest(const EVP_MD* md, const std::vector<unsigned char>& data) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr), 1);
    digest.resize(length);
    return digest;
}

} // namespace

TEST(HashObject, ValuesMatchOpenSslWhenDataComesInPieces) {
    const auto data = bytesOf("The quick brown fox jumps over the lazy dog, \xE4\xB8\xAD\xE6\x96\x87");
    for (const Algorithm& algorithm : algorithms) {
        SCOPED_TRACE(algorithm.algid);
        HashObject hash(algorithm.algid);
        hash.hashData(std::span(data).first(10));
        hash.hashData({});
        hash.hashData(std::span(data).subspan(10));
        EXPECT_EQ(hash.value(), opensslDigest(algorithm.md(), data));
        EXPECT_EQ(hash.size(), static_cast<DWORD>(EVP_MD_get_size(algorithm.md())));
    }
    // The empty message has a digest of its own, not an empty value.
    HashObject empty(CALG_MD5);
    EXPECT_EQ(empty.value(), opensslDigest(EVP_md5(), {}));
}

TEST(HashObject, UnknownAlgorithmsAreRefused) {
    for (ALG_ID algid : {ALG_ID{0}, CALG_RSA_SIGN, ALG_ID{0x8001} /* MD2 */, ALG_ID{0x800E}})
        EXPECT_EQ(errorOf([&] { HashObject hash(algid); }), code(NTE_BAD_ALGID)) << algid;
}

TEST(HashObject, ValueLengthQueriesLeaveTheObjectOpen) {
    HashObject hash(CALG_MD5);
    DWORD length = 0;
    hash.getParam(HP_HASHVAL, nullptr, &length, 0);
    EXPECT_EQ(length, 16u);

    BYTE small[15];
    std::memset(small, 0xAB, sizeof small);
    length = sizeof small;
    EXPECT_EQ(errorOf([&] { hash.getParam(HP_HASHVAL, small, &length, 0); }), ERROR_MORE_DATA);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(small[0], 0xAB);

    // Neither query finished the object: data still counts.
    const auto data = bytesOf("abc");
    hash.hashData(data);
    BYTE value[32];
    length = sizeof value;
    hash.getParam(HP_HASHVAL, value, &length, 0);
    ASSERT_EQ(length, 16u);
    EXPECT_EQ(Bytes(value, value + 16), opensslDigest(EVP_md5(), data));
}

TEST(HashObject, DataAfterTheValueWasReadIsABadHashState) {
    HashObject hash(CALG_SHA_256);
    hash.hashData(bytesOf("one"));
    const Bytes first = hash.value();
    EXPECT_EQ(errorOf([&] { hash.hashData(bytesOf("two")); }), code(NTE_BAD_HASH_STATE));
    // The value stays readable, also in the length-query forms.
    DWORD length = 0;
    hash.getParam(HP_HASHVAL, nullptr, &length, 0);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(hash.value(), first);

    HashObject signedHash(CALG_MD5);
    signedHash.digestInfo();
    EXPECT_EQ(errorOf([&] { signedHash.hashData(bytesOf("x")); }), code(NTE_BAD_HASH_STATE));
}

TEST(HashObject, SizeAndAlgorithmParameters) {
    HashObject hash(CALG_SHA1);
    DWORD value = 0;
    DWORD length = sizeof value;
    hash.getParam(HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &length, 0);
    EXPECT_EQ(value, 20u);
    EXPECT_EQ(length, 4u);
    hash.getParam(HP_ALGID, reinterpret_cast<BYTE*>(&value), &length, 0);
    EXPECT_EQ(value, CALG_SHA1);

    length = 2;
    EXPECT_EQ(errorOf([&] { hash.getParam(HP_ALGID, reinterpret_cast<BYTE*>(&value), &length, 0); }),
              ERROR_MORE_DATA);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(errorOf([&] { hash.getParam(0x99, nullptr, &length, 0); }), code(NTE_BAD_TYPE));
    EXPECT_EQ(errorOf([&] { hash.getParam(HP_ALGID, nullptr, nullptr, 0); }), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(hash.finished());
}

// What a token signs with CKM_RSA_PKCS must give the signature OpenSSL makes over the message.
TEST(HashObject, DigestInfoIsWhatPkcs1SignaturesCover) {
    EVP_PKEY* key = testKey(1024);
    const auto data = bytesOf("123456");
    for (const Algorithm& algorithm : algorithms) {
        SCOPED_TRACE(algorithm.algid);
        HashObject hash(algorithm.algid);
        hash.hashData(data);
        const Bytes info = hash.digestInfo();
        EXPECT_EQ(info.size(), digestInfoPrefix(algorithm.algid).size() + hash.size());

        EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
        ASSERT_EQ(EVP_PKEY_sign_init(context.get()), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING), 1);
        size_t length = 0;
        ASSERT_EQ(EVP_PKEY_sign(context.get(), nullptr, &length, info.data(), info.size()), 1);
        std::vector<unsigned char> raw(length);
        ASSERT_EQ(EVP_PKEY_sign(context.get(), raw.data(), &length, info.data(), info.size()), 1);
        raw.resize(length);
        EXPECT_EQ(raw, opensslSign(key, algorithm.md(), data));
    }
}
