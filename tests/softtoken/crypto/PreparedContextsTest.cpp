// Operations started from one key's prepared contexts are independent copies, and the
// contexts go with the key.
#include "softtoken/crypto/Mechanisms.h"
#include "softtoken/crypto/PreparedContexts.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

using namespace softtoken::crypto;
using namespace softtoken::crypto::test;

TEST(softtoken_crypto_PreparedContexts, InterleavedOperationsOnOneKeyStayApart) {
    const PkeyPtr priv = makeRsaPrivateKey(rsa1024());
    const PkeyPtr pub = makeRsaPublicKey(rsa1024().modulus, rsa1024().publicExponent);
    ASSERT_TRUE(priv && pub);
    const Bytes a = bytesOf("first message"), b = bytesOf("second, longer message");
    // Both signatures in parts, fed alternately from the same prepared context.
    std::unique_ptr<SignContext> sa, sb;
    ASSERT_EQ(SignContext::create(CKM_SHA256_RSA_PKCS, priv, sa), CKR_OK);
    ASSERT_EQ(SignContext::create(CKM_SHA256_RSA_PKCS, priv, sb), CKR_OK);
    ASSERT_EQ(sa->update(a.data(), 5), CKR_OK);
    ASSERT_EQ(sb->update(b.data(), 7), CKR_OK);
    ASSERT_EQ(sa->update(a.data() + 5, a.size() - 5), CKR_OK);
    ASSERT_EQ(sb->update(b.data() + 7, b.size() - 7), CKR_OK);
    Bytes sigA(128), sigB(128);
    CK_ULONG la = sigA.size(), lb = sigB.size();
    ASSERT_EQ(sa->final(sigA.data(), &la), CKR_OK);
    ASSERT_EQ(sb->final(sigB.data(), &lb), CKR_OK);

    std::unique_ptr<VerifyContext> va, vb;
    ASSERT_EQ(VerifyContext::create(CKM_SHA256_RSA_PKCS, pub, va), CKR_OK);
    ASSERT_EQ(VerifyContext::create(CKM_SHA256_RSA_PKCS, pub, vb), CKR_OK);
    ASSERT_EQ(va->update(a.data(), a.size()), CKR_OK);
    ASSERT_EQ(vb->update(b.data(), b.size()), CKR_OK);
    EXPECT_EQ(va->verify(sigA.data(), la), CKR_OK);
    EXPECT_EQ(vb->verify(sigB.data(), lb), CKR_OK);
    // Another mechanism on the same key gets a context of its own.
    ASSERT_EQ(VerifyContext::create(CKM_SHA1_RSA_PKCS, pub, va), CKR_OK);
    EXPECT_EQ(va->verifyOneShot(a.data(), a.size(), sigA.data(), la), CKR_SIGNATURE_INVALID);
}

TEST(softtoken_crypto_PreparedContexts, GoWithTheLastReferenceToTheKey) {
    EVP_PKEY* raw = EVP_RSA_gen(1024);
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(EVP_PKEY_up_ref(raw), 1); // ours, kept past the wrapper
    {
        const PkeyPtr key = withPreparedContexts(raw);
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EXPECT_TRUE(startPrepared(raw, PreparedUse::Verify, CKM_SHA256_RSA_PKCS, EVP_sha256(), ctx));
        EVP_MD_CTX_free(ctx);
    }
    // The wrapper is gone: the key is still ours to use, and its contexts are not found.
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EXPECT_FALSE(startPrepared(raw, PreparedUse::Verify, CKM_SHA256_RSA_PKCS, EVP_sha256(), ctx));
    EXPECT_EQ(EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, raw), 1);
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(raw);
}
