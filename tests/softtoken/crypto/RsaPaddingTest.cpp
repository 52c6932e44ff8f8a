// PSS signatures and OAEP encryption: the parameter checks, and agreement with OpenSSL used
// directly, so a wrong padding, hash or salt cannot pass as a self-consistent round trip.
#include "softtoken/crypto/Mechanisms.h"
#include "softtoken/crypto/RsaPadding.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

using namespace softtoken::crypto;
using namespace softtoken::crypto::test;

namespace {

struct CtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using Ctx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

const PkeyPtr& privateKey() {
    static const PkeyPtr k = makeRsaPrivateKey(rsa2048());
    return k;
}
const PkeyPtr& publicKey() {
    static const PkeyPtr k = makeRsaPublicKey(rsa2048().modulus, rsa2048().publicExponent);
    return k;
}

CK_MECHANISM pss(CK_MECHANISM_TYPE type, CK_RSA_PKCS_PSS_PARAMS& p) {
    return CK_MECHANISM{type, &p, sizeof p};
}

Bytes digest(const EVP_MD* md, const Bytes& data) {
    Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr);
    return out;
}

// OpenSSL's own check of a PSS signature over a digest, with an exact salt length.
bool opensslVerifiesPss(const Bytes& hash, const EVP_MD* md, int saltLength, const Bytes& sig) {
    Ctx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, publicKey().get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), saltLength) == 1 &&
           EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()) == 1;
}

Bytes signWith(const CK_MECHANISM& m, const Bytes& data) {
    std::unique_ptr<SignContext> ctx;
    EXPECT_EQ(SignContext::create(m, privateKey(), ctx), CKR_OK);
    if (!ctx)
        return {};
    Bytes sig(ctx->signatureLength());
    CK_ULONG len = sig.size();
    EXPECT_EQ(ctx->signOneShot(data.data(), data.size(), sig.data(), &len), CKR_OK);
    sig.resize(len);
    return sig;
}

CK_RV verifyWith(const CK_MECHANISM& m, const Bytes& data, const Bytes& sig) {
    std::unique_ptr<VerifyContext> ctx;
    if (CK_RV rv = VerifyContext::create(m, publicKey(), ctx); rv != CKR_OK)
        return rv;
    return ctx->verifyOneShot(data.data(), data.size(), sig.data(), sig.size());
}

} // namespace

TEST(softtoken_crypto_Pss, SignaturesCheckOutWithOpenSsl) {
    const Bytes message = bytesOf("signed with the probabilistic scheme");
    struct Case {
        CK_MECHANISM_TYPE mechanism, hashAlg;
        CK_RSA_PKCS_MGF_TYPE mgf;
        const EVP_MD* md;
    } cases[] = {{CKM_SHA256_RSA_PKCS_PSS, CKM_SHA256, CKG_MGF1_SHA256, EVP_sha256()},
                 {CKM_SHA384_RSA_PKCS_PSS, CKM_SHA384, CKG_MGF1_SHA384, EVP_sha384()},
                 {CKM_SHA512_RSA_PKCS_PSS, CKM_SHA512, CKG_MGF1_SHA512, EVP_sha512()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mechanism);
        const int hashLen = EVP_MD_get_size(c.md);
        for (const CK_ULONG salt : {CK_ULONG(0), CK_ULONG(hashLen)}) {
            CK_RSA_PKCS_PSS_PARAMS p{c.hashAlg, c.mgf, salt};
            const Bytes sig = signWith(pss(c.mechanism, p), message);
            ASSERT_EQ(sig.size(), 256u);
            EXPECT_TRUE(opensslVerifiesPss(digest(c.md, message), c.md, int(salt), sig));
            EXPECT_EQ(verifyWith(pss(c.mechanism, p), message, sig), CKR_OK);
            // The salt length is part of what is checked.
            CK_RSA_PKCS_PSS_PARAMS other{c.hashAlg, c.mgf, salt + 1};
            EXPECT_EQ(verifyWith(pss(c.mechanism, other), message, sig), CKR_SIGNATURE_INVALID);
            EXPECT_EQ(verifyWith(pss(c.mechanism, p), bytesOf("another message"), sig),
                      CKR_SIGNATURE_INVALID);

        }
    }

    // The raw form signs a digest the caller made, exactly one digest long.
    CK_RSA_PKCS_PSS_PARAMS p{CKM_SHA256, CKG_MGF1_SHA256, 32};
    const Bytes hash = digest(EVP_sha256(), message);
    const Bytes sig = signWith(pss(CKM_RSA_PKCS_PSS, p), hash);
    EXPECT_TRUE(opensslVerifiesPss(hash, EVP_sha256(), 32, sig));
    EXPECT_EQ(verifyWith(pss(CKM_RSA_PKCS_PSS, p), hash, sig), CKR_OK);
    EXPECT_EQ(verifyWith(pss(CKM_RSA_PKCS_PSS, p), Bytes(31, 1), sig), CKR_DATA_LEN_RANGE);
}

TEST(softtoken_crypto_Pss, ParameterBlockIsChecked) {
    std::unique_ptr<SignContext> s;
    auto create = [&](CK_MECHANISM_TYPE type, CK_RSA_PKCS_PSS_PARAMS p) {
        return SignContext::create(pss(type, p), privateKey(), s);
    };
    // A 2048-bit key: emLen 256, so SHA-256 leaves room for a salt of at most 222 bytes.
    EXPECT_EQ(create(CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 222}), CKR_OK);
    EXPECT_EQ(create(CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 223}),
              CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(create(CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, ~CK_ULONG(0)}),
              CKR_MECHANISM_PARAM_INVALID);
    // The hashing mechanisms sign with their own hash, and MGF1 uses the same one.
    EXPECT_EQ(create(CKM_SHA384_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 32}),
              CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(create(CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA1, 32}),
              CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(create(CKM_RSA_PKCS_PSS, {CKM_MD5, CKG_MGF1_SHA1, 16}), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(create(CKM_RSA_PKCS_PSS, {CKM_SHA_1, CKG_MGF1_SHA1, 20}), CKR_OK);

    CK_RSA_PKCS_PSS_PARAMS p{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM missing{CKM_SHA256_RSA_PKCS_PSS, nullptr, 0};
    EXPECT_EQ(SignContext::create(missing, privateKey(), s), CKR_MECHANISM_PARAM_INVALID);
    CK_MECHANISM shortBlock{CKM_SHA256_RSA_PKCS_PSS, &p, sizeof p - 1};
    EXPECT_EQ(SignContext::create(shortBlock, privateKey(), s), CKR_MECHANISM_PARAM_INVALID);
    // PKCS#1 v1.5 takes no parameters.
    CK_MECHANISM pkcs1{CKM_SHA256_RSA_PKCS, &p, sizeof p};
    EXPECT_EQ(SignContext::create(pkcs1, privateKey(), s), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_FALSE(s);
}

// ---------------------------------------------------------------------------------------------

namespace {

constexpr auto Encrypt = CipherContext::Direction::Encrypt;
constexpr auto Decrypt = CipherContext::Direction::Decrypt;

struct Oaep {
    CK_RSA_PKCS_OAEP_PARAMS params;
    Bytes label;

    Oaep(CK_MECHANISM_TYPE hash, CK_RSA_PKCS_MGF_TYPE mgf, std::string text = "")
        : params{hash, mgf, CKZ_DATA_SPECIFIED, nullptr, 0}, label(text.begin(), text.end()) {
        if (!label.empty()) {
            params.pSourceData = label.data();
            params.ulSourceDataLen = label.size();
        }
    }
    CK_MECHANISM mechanism() { return CK_MECHANISM{CKM_RSA_PKCS_OAEP, &params, sizeof params}; }
};

CK_RV oaepCrypt(Oaep& o, CipherContext::Direction dir, const Bytes& in, Bytes& out) {
    std::unique_ptr<CipherContext> ctx;
    const PkeyPtr& key = dir == Encrypt ? publicKey() : privateKey();
    if (CK_RV rv = CipherContext::create(o.mechanism(), key, dir, ctx); rv != CKR_OK)
        return rv;
    out.assign(256, 0);
    CK_ULONG len = out.size();
    const CK_RV rv = ctx->oneShot(in.data(), in.size(), out.data(), &len);
    out.resize(rv == CKR_OK ? len : 0);
    return rv;
}

// OpenSSL's OAEP with the same hashes and label, in the other direction.
bool opensslOaep(bool encrypt, const EVP_MD* md, const Bytes& label, const Bytes& in, Bytes& out) {
    Ctx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, (encrypt ? publicKey() : privateKey()).get(),
                                       nullptr));
    if (!ctx || (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), md) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) != 1)
        return false;
    if (!label.empty()) {
        void* copy = OPENSSL_memdup(label.data(), label.size());
        if (EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), copy, int(label.size())) != 1)
            return false;
    }
    out.assign(256, 0);
    std::size_t len = out.size();
    const int ok = encrypt ? EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in.data(), in.size())
                           : EVP_PKEY_decrypt(ctx.get(), out.data(), &len, in.data(), in.size());
    out.resize(len);
    return ok == 1;
}

} // namespace

TEST(softtoken_crypto_Oaep, AgreesWithOpenSslWithAndWithoutLabel) {
    struct Case {
        CK_MECHANISM_TYPE hash;
        CK_RSA_PKCS_MGF_TYPE mgf;
        const EVP_MD* md;
    } cases[] = {{CKM_SHA_1, CKG_MGF1_SHA1, EVP_sha1()}, {CKM_SHA256, CKG_MGF1_SHA256, EVP_sha256()}};
    const Bytes plain = bytesOf("wrapped session key");
    for (const Case& c : cases) {
        for (const char* label : {"", "context label"}) {
            SCOPED_TRACE(std::to_string(c.hash) + " label '" + label + "'");
            Oaep o(c.hash, c.mgf, label);
            Bytes ours, back;
            ASSERT_EQ(oaepCrypt(o, Encrypt, plain, ours), CKR_OK);
            ASSERT_EQ(ours.size(), 256u);
            ASSERT_TRUE(opensslOaep(false, c.md, o.label, ours, back));
            EXPECT_EQ(back, plain);

            Bytes theirs;
            ASSERT_TRUE(opensslOaep(true, c.md, o.label, plain, theirs));
            ASSERT_EQ(oaepCrypt(o, Decrypt, theirs, back), CKR_OK);
            EXPECT_EQ(back, plain);

            // Another label, or none, does not open it.
            Oaep otherLabel(c.hash, c.mgf, std::string(label) + "x");
            EXPECT_EQ(oaepCrypt(otherLabel, Decrypt, theirs, back), CKR_ENCRYPTED_DATA_INVALID);
        }
    }
    // The padding leaves k - 2 * hash length - 2 bytes: 190 with SHA-256.
    Oaep o(CKM_SHA256, CKG_MGF1_SHA256);
    Bytes out;
    EXPECT_EQ(oaepCrypt(o, Encrypt, Bytes(190, 7), out), CKR_OK);
    EXPECT_EQ(oaepCrypt(o, Encrypt, Bytes(191, 7), out), CKR_DATA_LEN_RANGE);
}

TEST(softtoken_crypto_Oaep, ParameterBlockIsChecked) {
    std::unique_ptr<CipherContext> c;
    auto create = [&](Oaep& o) { return CipherContext::create(o.mechanism(), publicKey(), Encrypt, c); };
    Oaep mismatched(CKM_SHA256, CKG_MGF1_SHA1);
    EXPECT_EQ(create(mismatched), CKR_MECHANISM_PARAM_INVALID);
    Oaep unknownHash(CKM_MD5, CKG_MGF1_SHA1);
    EXPECT_EQ(create(unknownHash), CKR_MECHANISM_PARAM_INVALID);
    Oaep badSource(CKM_SHA_1, CKG_MGF1_SHA1, "label");
    badSource.params.source = 2;
    EXPECT_EQ(create(badSource), CKR_MECHANISM_PARAM_INVALID);
    // No label may also be given with a source of 0.
    Oaep noSource(CKM_SHA_1, CKG_MGF1_SHA1);
    noSource.params.source = 0;
    EXPECT_EQ(create(noSource), CKR_OK);
    Oaep dangling(CKM_SHA_1, CKG_MGF1_SHA1);
    dangling.params.ulSourceDataLen = 16; // and no data
    EXPECT_EQ(create(dangling), CKR_MECHANISM_PARAM_INVALID);
    // A hostile length is refused before anything is read from the pointer.
    Oaep huge(CKM_SHA_1, CKG_MGF1_SHA1, "x");
    huge.params.ulSourceDataLen = kMaxOaepLabel + 1;
    EXPECT_EQ(create(huge), CKR_MECHANISM_PARAM_INVALID);

    Oaep good(CKM_SHA_1, CKG_MGF1_SHA1);
    CK_MECHANISM shortBlock{CKM_RSA_PKCS_OAEP, &good.params, sizeof good.params - 1};
    EXPECT_EQ(CipherContext::create(shortBlock, publicKey(), Encrypt, c),
              CKR_MECHANISM_PARAM_INVALID);
    CK_MECHANISM pkcs1{CKM_RSA_PKCS, &good.params, sizeof good.params};
    EXPECT_EQ(CipherContext::create(pkcs1, publicKey(), Encrypt, c), CKR_MECHANISM_PARAM_INVALID);

    // SHA-512 needs 130 bytes of padding, more than a 1024-bit modulus has.
    const PkeyPtr small = makeRsaPublicKey(rsa1024().modulus, rsa1024().publicExponent);
    Oaep wide(CKM_SHA512, CKG_MGF1_SHA512);
    EXPECT_EQ(CipherContext::create(wide.mechanism(), small, Encrypt, c), CKR_KEY_SIZE_RANGE);
}
