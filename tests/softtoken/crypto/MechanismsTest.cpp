#include "softtoken/crypto/Mechanisms.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

using namespace softtoken::crypto;
using namespace softtoken::crypto::test;

namespace {

struct PkeyCtxDel {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDel>;

struct Keys {
    PkeyPtr priv, pub;
};
const Keys& keys2048() {
    static const Keys k{makeRsaPrivateKey(rsa2048()),
                        makeRsaPublicKey(rsa2048().modulus, rsa2048().publicExponent)};
    return k;
}

Bytes sign(CK_MECHANISM_TYPE mech, const PkeyPtr& key, const Bytes& data) {
    std::unique_ptr<SignContext> ctx;
    EXPECT_EQ(SignContext::create(mech, key, ctx), CKR_OK);
    if (!ctx) {
        return {};
    }
    Bytes sig(ctx->signatureLength());
    CK_ULONG len = sig.size();
    EXPECT_EQ(ctx->signOneShot(data.data(), data.size(), sig.data(), &len), CKR_OK);
    sig.resize(len);
    return sig;
}

CK_RV verify(CK_MECHANISM_TYPE mech, const PkeyPtr& key, const Bytes& data, const Bytes& sig) {
    std::unique_ptr<VerifyContext> ctx;
    if (CK_RV rv = VerifyContext::create(mech, key, ctx); rv != CKR_OK) {
        return rv;
    }
    return ctx->verifyOneShot(data.data(), data.size(), sig.data(), sig.size());
}

struct HashCase {
    CK_MECHANISM_TYPE signMech;
    const char* name;
    const EVP_MD* (*md)();
    const char* digestInfoPrefix;
};

const HashCase kHashCases[] = {
    {CKM_MD5_RSA_PKCS, "MD5", EVP_md5, "3020300c06082a864886f70d020505000410"},
    {CKM_SHA1_RSA_PKCS, "SHA1", EVP_sha1, "3021300906052b0e03021a05000414"},
    {CKM_SHA256_RSA_PKCS, "SHA256", EVP_sha256, "3031300d060960864801650304020105000420"},
    {CKM_SHA384_RSA_PKCS, "SHA384", EVP_sha384, "3041300d060960864801650304020205000430"},
    {CKM_SHA512_RSA_PKCS, "SHA512", EVP_sha512, "3051300d060960864801650304020305000440"},
};

Bytes digestInfo(const HashCase& c, const Bytes& data) {
    Bytes out = fromHex(c.digestInfoPrefix);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, c.md(), nullptr);
    out.insert(out.end(), md, md + len);
    return out;
}

class HashSign : public ::testing::TestWithParam<HashCase> {};

} // namespace

TEST_P(HashSign, SinglePartMatchesRawSignatureOverDigestInfo) {
    const HashCase& c = GetParam();
    for (const Bytes& data : {bytesOf("The quick brown fox jumps over the lazy dog"), Bytes{}}) {
        const Bytes sig = sign(c.signMech, keys2048().priv, data);
        ASSERT_EQ(sig.size(), 256u);
        EXPECT_EQ(sig, sign(CKM_RSA_PKCS, keys2048().priv, digestInfo(c, data)));
        EXPECT_EQ(verify(c.signMech, keys2048().pub, data, sig), CKR_OK);
    }
}

TEST_P(HashSign, MultiPartEqualsSinglePartAndVerifies) {
    const HashCase& c = GetParam();
    const Bytes data = bytesOf("split into several update calls of uneven size");
    std::unique_ptr<SignContext> s;
    ASSERT_EQ(SignContext::create(c.signMech, keys2048().priv, s), CKR_OK);
    ASSERT_TRUE(s->multiPart());
    ASSERT_EQ(s->update(data.data(), 5), CKR_OK);
    ASSERT_EQ(s->update(nullptr, 0), CKR_OK);
    ASSERT_EQ(s->update(data.data() + 5, data.size() - 5), CKR_OK);

    // Length query and a short buffer leave the operation usable.
    CK_ULONG len = 0;
    ASSERT_EQ(s->final(nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 256u);
    Bytes sig(len);
    len = 10;
    ASSERT_EQ(s->final(sig.data(), &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 256u);
    ASSERT_EQ(s->final(sig.data(), &len), CKR_OK);
    EXPECT_EQ(sig, sign(c.signMech, keys2048().priv, data));

    std::unique_ptr<VerifyContext> v;
    ASSERT_EQ(VerifyContext::create(c.signMech, keys2048().pub, v), CKR_OK);
    ASSERT_EQ(v->update(data.data(), 7), CKR_OK);
    ASSERT_EQ(v->update(data.data() + 7, data.size() - 7), CKR_OK);
    EXPECT_EQ(v->verify(sig.data(), sig.size()), CKR_OK);
}

TEST_P(HashSign, VerifyDetectsFlippedBitWrongDataAndWrongLength) {
    const HashCase& c = GetParam();
    const Bytes data = bytesOf("payload");
    Bytes sig = sign(c.signMech, keys2048().priv, data);
    EXPECT_EQ(verify(c.signMech, keys2048().pub, bytesOf("Payload"), sig), CKR_SIGNATURE_INVALID);
    sig[100] ^= 0x10;
    EXPECT_EQ(verify(c.signMech, keys2048().pub, data, sig), CKR_SIGNATURE_INVALID);
    sig[100] ^= 0x10;
    EXPECT_EQ(verify(c.signMech, keys2048().pub, data, Bytes(sig.begin(), sig.end() - 1)),
              CKR_SIGNATURE_LEN_RANGE);
    sig.push_back(0);
    EXPECT_EQ(verify(c.signMech, keys2048().pub, data, sig), CKR_SIGNATURE_LEN_RANGE);

    std::unique_ptr<VerifyContext> v;
    ASSERT_EQ(VerifyContext::create(c.signMech, keys2048().pub, v), CKR_OK);
    ASSERT_EQ(v->update(data.data(), data.size()), CKR_OK);
    EXPECT_EQ(v->verify(sig.data(), 255), CKR_SIGNATURE_LEN_RANGE);
}

INSTANTIATE_TEST_SUITE_P(softtoken_crypto, HashSign, ::testing::ValuesIn(kHashCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(softtoken_crypto_RawRsaSign, MatchesOpenSslAndEnforcesSinglePartAndLength) {
    const PkeyPtr& priv = keys2048().priv;
    const Bytes data(256 - 11, 0x5A);
    const Bytes sig = sign(CKM_RSA_PKCS, priv, data);
    ASSERT_EQ(sig.size(), 256u);

    // Recover with OpenSSL directly: the signature must carry exactly our data.
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, keys2048().pub.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_verify_recover_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
    Bytes recovered(256);
    std::size_t rlen = recovered.size();
    ASSERT_EQ(EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &rlen, sig.data(), sig.size()),
              1);
    recovered.resize(rlen);
    EXPECT_EQ(recovered, data);
    EXPECT_EQ(verify(CKM_RSA_PKCS, keys2048().pub, data, sig), CKR_OK);

    std::unique_ptr<SignContext> s;
    ASSERT_EQ(SignContext::create(CKM_RSA_PKCS, priv, s), CKR_OK);
    EXPECT_FALSE(s->multiPart());
    EXPECT_EQ(s->update(data.data(), data.size()), CKR_FUNCTION_NOT_SUPPORTED);
    CK_ULONG len = 256;
    Bytes out(len);
    EXPECT_EQ(s->final(out.data(), &len), CKR_FUNCTION_NOT_SUPPORTED);
    const Bytes tooLong(256 - 10, 0x5A);
    EXPECT_EQ(s->signOneShot(tooLong.data(), tooLong.size(), out.data(), &len), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(verify(CKM_RSA_PKCS, keys2048().pub, tooLong, sig), CKR_DATA_LEN_RANGE);
}

TEST(softtoken_crypto_SignOperation, LengthRuleOnSinglePartKeepsOperation) {
    const Bytes data = bytesOf("abc");
    std::unique_ptr<SignContext> s;
    ASSERT_EQ(SignContext::create(CKM_SHA256_RSA_PKCS, keys2048().priv, s), CKR_OK);
    CK_ULONG len = 0;
    ASSERT_EQ(s->signOneShot(data.data(), data.size(), nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 256u);
    Bytes sig(256);
    len = 255;
    ASSERT_EQ(s->signOneShot(data.data(), data.size(), sig.data(), &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 256u);
    ASSERT_EQ(s->signOneShot(data.data(), data.size(), sig.data(), &len), CKR_OK);
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, keys2048().pub, data, sig), CKR_OK);
    EXPECT_EQ(s->signOneShot(data.data(), data.size(), sig.data(), nullptr), CKR_ARGUMENTS_BAD);
}

TEST(softtoken_crypto_SignOperation, SinglePartAfterUpdateIsRefused) {
    std::unique_ptr<SignContext> s;
    ASSERT_EQ(SignContext::create(CKM_SHA1_RSA_PKCS, keys2048().priv, s), CKR_OK);
    const Bytes data = bytesOf("x");
    ASSERT_EQ(s->update(data.data(), data.size()), CKR_OK);
    Bytes sig(256);
    CK_ULONG len = sig.size();
    EXPECT_EQ(s->signOneShot(data.data(), data.size(), sig.data(), &len), CKR_OPERATION_ACTIVE);
}

TEST(softtoken_crypto_SignOperation, CreateChecksMechanismAndKey) {
    std::unique_ptr<SignContext> s;
    EXPECT_EQ(SignContext::create(CKM_SHA256, keys2048().priv, s), CKR_MECHANISM_INVALID);
    EXPECT_EQ(SignContext::create(CKM_RSA_PKCS, nullptr, s), CKR_KEY_HANDLE_INVALID);

    const PkeyPtr ec(EVP_EC_gen("P-256"), EVP_PKEY_free);
    ASSERT_TRUE(ec);
    EXPECT_EQ(SignContext::create(CKM_SHA256_RSA_PKCS, ec, s), CKR_KEY_TYPE_INCONSISTENT);
    std::unique_ptr<VerifyContext> v;
    EXPECT_EQ(VerifyContext::create(CKM_SHA256_RSA_PKCS, ec, v), CKR_KEY_TYPE_INCONSISTENT);

    // A 512-bit key has room for a SHA-256 DigestInfo but not a SHA-512 one.
    const PkeyPtr small(EVP_RSA_gen(512), EVP_PKEY_free);
    ASSERT_TRUE(small);
    EXPECT_EQ(SignContext::create(CKM_SHA256_RSA_PKCS, small, s), CKR_OK);
    EXPECT_EQ(SignContext::create(CKM_SHA512_RSA_PKCS, small, s), CKR_KEY_SIZE_RANGE);
    EXPECT_FALSE(s);
    EXPECT_EQ(VerifyContext::create(CKM_SHA512_RSA_PKCS, small, v), CKR_KEY_SIZE_RANGE);
}

TEST(softtoken_crypto_SignOperation, FailuresLeaveNoOpenSslErrorsBehind) {
    ERR_clear_error();
    Bytes sig = sign(CKM_SHA256_RSA_PKCS, keys2048().priv, bytesOf("a"));
    sig[0] ^= 0xFF;
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, keys2048().pub, bytesOf("a"), sig),
              CKR_SIGNATURE_INVALID);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

// ---------------------------------------------------------------------------------------------

namespace {

CK_RV crypt(CipherContext::Direction dir, const PkeyPtr& key, const Bytes& in, Bytes& out) {
    std::unique_ptr<CipherContext> ctx;
    if (CK_RV rv = CipherContext::create(CKM_RSA_PKCS, key, dir, ctx); rv != CKR_OK) {
        return rv;
    }
    out.assign(512, 0);
    CK_ULONG len = out.size();
    const CK_RV rv = ctx->oneShot(in.data(), in.size(), out.data(), &len);
    out.resize(rv == CKR_OK ? len : 0);
    return rv;
}

constexpr auto Encrypt = CipherContext::Direction::Encrypt;
constexpr auto Decrypt = CipherContext::Direction::Decrypt;

} // namespace

TEST(softtoken_crypto_RsaCipher, RoundTripsAndDecryptsOpenSslCiphertext) {
    const Bytes plain = bytesOf("session key");
    Bytes ct, back;
    ASSERT_EQ(crypt(Encrypt, keys2048().pub, plain, ct), CKR_OK);
    EXPECT_EQ(ct.size(), 256u);
    ASSERT_EQ(crypt(Decrypt, keys2048().priv, ct, back), CKR_OK);
    EXPECT_EQ(back, plain);

    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, keys2048().pub.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
    Bytes theirs(256);
    std::size_t tlen = theirs.size();
    ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), theirs.data(), &tlen, plain.data(), plain.size()), 1);
    ASSERT_EQ(crypt(Decrypt, keys2048().priv, theirs, back), CKR_OK);
    EXPECT_EQ(back, plain);

    // Empty and maximum-length messages.
    for (const Bytes& m : {Bytes{}, Bytes(256 - 11, 0xEE)}) {
        ASSERT_EQ(crypt(Encrypt, keys2048().pub, m, ct), CKR_OK);
        ASSERT_EQ(crypt(Decrypt, keys2048().priv, ct, back), CKR_OK);
        EXPECT_EQ(back, m);
    }
}

TEST(softtoken_crypto_RsaCipher, DecryptLengthQueryGivesExactLengthForTheRightCiphertext) {
    Bytes ctA, ctB;
    ASSERT_EQ(crypt(Encrypt, keys2048().pub, bytesOf("first"), ctA), CKR_OK);
    ASSERT_EQ(crypt(Encrypt, keys2048().pub, bytesOf("second message"), ctB), CKR_OK);

    std::unique_ptr<CipherContext> ctx;
    ASSERT_EQ(CipherContext::create(CKM_RSA_PKCS, keys2048().priv, Decrypt, ctx), CKR_OK);
    CK_ULONG len = 0;
    ASSERT_EQ(ctx->oneShot(ctA.data(), ctA.size(), nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 5u);
    Bytes out(3);
    len = out.size();
    ASSERT_EQ(ctx->oneShot(ctA.data(), ctA.size(), out.data(), &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 5u);
    // A different ciphertext after a query must not get the remembered plaintext.
    out.assign(64, 0);
    len = out.size();
    ASSERT_EQ(ctx->oneShot(ctB.data(), ctB.size(), out.data(), &len), CKR_OK);
    out.resize(len);
    EXPECT_EQ(out, bytesOf("second message"));
}

TEST(softtoken_crypto_RsaCipher, RejectsBadLengthsAndBadPadding) {
    Bytes out;
    EXPECT_EQ(crypt(Encrypt, keys2048().pub, Bytes(256 - 10, 1), out), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(crypt(Decrypt, keys2048().priv, Bytes(255, 1), out), CKR_ENCRYPTED_DATA_LEN_RANGE);

    // A block that decrypts to type 1 padding instead of type 2.
    Bytes block(256, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[200] = 0x00;
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, keys2048().pub.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
    Bytes bad(256);
    std::size_t blen = bad.size();
    ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), bad.data(), &blen, block.data(), block.size()), 1);
    EXPECT_EQ(crypt(Decrypt, keys2048().priv, bad, out), CKR_ENCRYPTED_DATA_INVALID);
    // Larger than the modulus.
    EXPECT_EQ(crypt(Decrypt, keys2048().priv, Bytes(256, 0xFF), out), CKR_ENCRYPTED_DATA_INVALID);

    std::unique_ptr<CipherContext> c;
    EXPECT_EQ(CipherContext::create(CKM_SHA256_RSA_PKCS, keys2048().pub, Encrypt, c),
              CKR_MECHANISM_INVALID);
    ASSERT_EQ(CipherContext::create(CKM_RSA_PKCS, keys2048().pub, Encrypt, c), CKR_OK);
    CK_ULONG len = 0;
    EXPECT_EQ(c->update(block.data(), 10, nullptr, &len), CKR_FUNCTION_NOT_SUPPORTED);
}

// ---------------------------------------------------------------------------------------------

namespace {

struct DigestCase {
    CK_MECHANISM_TYPE mech;
    const char* name;
    const char* abc;
};

const DigestCase kDigestCases[] = {
    {CKM_MD5, "MD5", "900150983cd24fb0d6963f7d28e17f72"},
    {CKM_SHA_1, "SHA1", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {CKM_SHA256, "SHA256", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {CKM_SHA384, "SHA384",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c"
     "825a7"},
    {CKM_SHA512, "SHA512",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3f"
     "eebbd454d4423643ce80e2a9ac94fa54ca49f"},
};

class Digest : public ::testing::TestWithParam<DigestCase> {};

} // namespace

TEST_P(Digest, KnownVectorSingleAndMultiPart) {
    const DigestCase& c = GetParam();
    const Bytes abc = bytesOf("abc");

    std::unique_ptr<DigestContext> d;
    ASSERT_EQ(DigestContext::create(c.mech, d), CKR_OK);
    CK_ULONG len = 0;
    ASSERT_EQ(d->oneShot(abc.data(), abc.size(), nullptr, &len), CKR_OK);
    ASSERT_EQ(len, d->digestLength());
    Bytes out(len);
    len = 1;
    ASSERT_EQ(d->oneShot(abc.data(), abc.size(), out.data(), &len), CKR_BUFFER_TOO_SMALL);
    ASSERT_EQ(d->oneShot(abc.data(), abc.size(), out.data(), &len), CKR_OK);
    EXPECT_EQ(toHex(out), c.abc);

    ASSERT_EQ(DigestContext::create(c.mech, d), CKR_OK);
    ASSERT_EQ(d->update(abc.data(), 1), CKR_OK);
    ASSERT_EQ(d->update(abc.data() + 1, 2), CKR_OK);
    EXPECT_EQ(d->oneShot(abc.data(), abc.size(), out.data(), &len), CKR_OPERATION_ACTIVE);
    len = 0;
    ASSERT_EQ(d->final(nullptr, &len), CKR_OK);
    len = out.size() - 1;
    ASSERT_EQ(d->final(out.data(), &len), CKR_BUFFER_TOO_SMALL);
    ASSERT_EQ(d->final(out.data(), &len), CKR_OK);
    EXPECT_EQ(toHex(out), c.abc);
}

INSTANTIATE_TEST_SUITE_P(softtoken_crypto, Digest, ::testing::ValuesIn(kDigestCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(softtoken_crypto_MechanismTables, AgreeWithWhatTheContextsAccept) {
    std::unique_ptr<SignContext> s;
    std::unique_ptr<DigestContext> d;
    for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_MD5_RSA_PKCS, CKM_SHA1_RSA_PKCS,
                                CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS,
                                CKM_SHA224_RSA_PKCS, CKM_RSA_PKCS_PSS, CKM_SHA256_RSA_PKCS_PSS,
                                CKM_SHA1_RSA_PKCS_PSS, CKM_MD5, CKM_SHA256}) {
        // The PSS mechanisms cannot start without their parameter block.
        EXPECT_EQ(isSignMechanism(m) && !takesParameters(m),
                  SignContext::create(m, keys2048().priv, s) == CKR_OK)
            << m;
        EXPECT_EQ(isMultiPartSignMechanism(m),
                  isSignMechanism(m) && m != CKM_RSA_PKCS && m != CKM_RSA_PKCS_PSS)
            << m;
        EXPECT_EQ(isDigestMechanism(m), DigestContext::create(m, d) == CKR_OK) << m;
    }
    EXPECT_TRUE(isCipherMechanism(CKM_RSA_PKCS));
    EXPECT_TRUE(isCipherMechanism(CKM_RSA_PKCS_OAEP));
    EXPECT_FALSE(isCipherMechanism(CKM_SHA256_RSA_PKCS));
}
