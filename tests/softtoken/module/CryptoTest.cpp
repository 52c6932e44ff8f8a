#include "ModuleFixture.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace softtoken::module::test {
namespace {

class CryptoTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        addToken("alpha", 1);
        ASSERT_EQ(initialize(), CKR_OK);
        s_ = openSession();
        ASSERT_EQ(login(s_), CKR_OK);
    }

    void generate(std::vector<Attr> pubExtra = {}, std::vector<Attr> privExtra = {}) {
        CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        std::vector<Attr> pub{ulongAttr(CKA_MODULUS_BITS, 1024), boolAttr(CKA_TOKEN, true)};
        std::vector<Attr> priv{boolAttr(CKA_TOKEN, true), textAttr(CKA_LABEL, "k")};
        pub.insert(pub.end(), pubExtra.begin(), pubExtra.end());
        priv.insert(priv.end(), privExtra.begin(), privExtra.end());
        auto rp = raw(pub), rq = raw(priv);
        ASSERT_EQ(f()->C_GenerateKeyPair(s_, &mech, rp.data(), rp.size(), rq.data(), rq.size(),
                                         &pub_, &priv_),
                  CKR_OK);
    }

    std::vector<CK_BYTE> sign(CK_MECHANISM_TYPE type, const std::string& data) {
        CK_MECHANISM mech{type, nullptr, 0};
        EXPECT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_OK);
        CK_ULONG len = 0;
        auto* p = reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.data()));
        EXPECT_EQ(f()->C_Sign(s_, p, data.size(), nullptr, &len), CKR_OK);
        std::vector<CK_BYTE> sig(len);
        EXPECT_EQ(f()->C_Sign(s_, p, data.size(), sig.data(), &len), CKR_OK);
        sig.resize(len);
        return sig;
    }

    CK_RV verify(CK_MECHANISM_TYPE type, const std::string& data, std::vector<CK_BYTE> sig) {
        CK_MECHANISM mech{type, nullptr, 0};
        EXPECT_EQ(f()->C_VerifyInit(s_, &mech, pub_), CKR_OK);
        return f()->C_Verify(s_, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.data())),
                             data.size(), sig.data(), sig.size());
    }

    CK_SESSION_HANDLE s_ = 0;
    CK_OBJECT_HANDLE pub_ = 0, priv_ = 0;
};

using softtoken_module_Crypto = CryptoTest;

TEST_F(softtoken_module_Crypto, GeneratedKeysHaveTheirAttributes) {
    generate();
    EXPECT_EQ(readAttr(f(), s_, priv_, CKA_LOCAL), std::vector<CK_BYTE>{CK_TRUE});
    EXPECT_EQ(readAttr(f(), s_, priv_, CKA_ALWAYS_SENSITIVE), std::vector<CK_BYTE>{CK_TRUE});
    EXPECT_EQ(readAttr(f(), s_, pub_, CKA_PUBLIC_EXPONENT), (std::vector<CK_BYTE>{1, 0, 1}));
    EXPECT_EQ(readAttr(f(), s_, pub_, CKA_MODULUS).size(), 128u);
    EXPECT_EQ(readAttr(f(), s_, priv_, CKA_MODULUS), readAttr(f(), s_, pub_, CKA_MODULUS));
    CK_RV rv = CKR_OK;
    readAttr(f(), s_, priv_, CKA_PRIVATE_EXPONENT, &rv);
    EXPECT_EQ(rv, CKR_ATTRIBUTE_SENSITIVE);

    CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    std::vector<Attr> noBits{boolAttr(CKA_TOKEN, true)};
    auto r = raw(noBits);
    CK_OBJECT_HANDLE a = 0, b = 0;
    EXPECT_EQ(f()->C_GenerateKeyPair(s_, &mech, r.data(), r.size(), nullptr, 0, &a, &b),
              CKR_TEMPLATE_INCOMPLETE);
    mech.mechanism = CKM_SHA256;
    EXPECT_EQ(f()->C_GenerateKeyPair(s_, &mech, r.data(), r.size(), nullptr, 0, &a, &b),
              CKR_MECHANISM_INVALID);
}

// The two keys are written together: when the private one does not fit, the token file
// is left untouched, with no public key stored and withdrawn again.
TEST_F(softtoken_module_Crypto, KeyPairThatDoesNotFitLeavesTheTokenUntouched) {
    const CK_ULONG free = tokenInfo().ulFreePrivateMemory;
    ASSERT_GT(free, 400u);
    CK_OBJECT_HANDLE filler = 0;
    ASSERT_EQ(createObject(f(), s_, dataObject(true, true, "filler", std::string(free - 400, 'f')),
                           &filler),
              CKR_OK);
    std::unique_ptr<store::TokenDatabase> watcher;
    ASSERT_EQ(store::TokenDatabase::open(storeConfig(), "alpha", watcher), CKR_OK);
    watcher->changedElsewhere();

    CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    std::vector<Attr> pub{ulongAttr(CKA_MODULUS_BITS, 1024), boolAttr(CKA_TOKEN, true)};
    std::vector<Attr> priv{boolAttr(CKA_TOKEN, true)};
    auto rp = raw(pub), rq = raw(priv);
    EXPECT_EQ(f()->C_GenerateKeyPair(s_, &mech, rp.data(), rp.size(), rq.data(), rq.size(),
                                     &pub_, &priv_),
              CKR_DEVICE_MEMORY);
    EXPECT_FALSE(watcher->changedElsewhere());
    EXPECT_TRUE(findAll(f(), s_, {ulongAttr(CKA_CLASS, CKO_PUBLIC_KEY)}).empty());
    EXPECT_EQ(tokenInfo().ulFreePublicMemory, 4000u);
}

TEST_F(softtoken_module_Crypto, EveryMechanismSignsAndVerifiesInOneAndSeveralParts) {
    generate();
    const std::string message = "The quick brown fox jumps over the lazy dog";
    for (CK_MECHANISM_TYPE type : {CKM_MD5_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS,
                                   CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS}) {
        SCOPED_TRACE(type);
        const auto whole = sign(type, message);
        ASSERT_EQ(whole.size(), 128u);
        EXPECT_EQ(verify(type, message, whole), CKR_OK);

        CK_MECHANISM mech{type, nullptr, 0};
        ASSERT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_OK);
        auto* p = reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(message.data()));
        ASSERT_EQ(f()->C_SignUpdate(s_, p, 10), CKR_OK);
        ASSERT_EQ(f()->C_SignUpdate(s_, p + 10, message.size() - 10), CKR_OK);
        std::vector<CK_BYTE> parts(128);
        CK_ULONG len = 1;
        EXPECT_EQ(f()->C_SignFinal(s_, parts.data(), &len), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, 128u);
        ASSERT_EQ(f()->C_SignFinal(s_, parts.data(), &len), CKR_OK);
        EXPECT_EQ(parts, whole); // PKCS#1 v1.5 is deterministic

        ASSERT_EQ(f()->C_VerifyInit(s_, &mech, pub_), CKR_OK);
        ASSERT_EQ(f()->C_VerifyUpdate(s_, p, 5), CKR_OK);
        ASSERT_EQ(f()->C_VerifyUpdate(s_, p + 5, message.size() - 5), CKR_OK);
        EXPECT_EQ(f()->C_VerifyFinal(s_, parts.data(), len), CKR_OK);

        auto bad = whole;
        bad[5] ^= 1;
        EXPECT_EQ(verify(type, message, bad), CKR_SIGNATURE_INVALID);
    }
    // Raw PKCS#1 over a caller's DigestInfo, single part only.
    const std::string digestInfo(51, 'd');
    const auto raw = sign(CKM_RSA_PKCS, digestInfo);
    EXPECT_EQ(verify(CKM_RSA_PKCS, digestInfo, raw), CKR_OK);
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_OK);
    CK_BYTE chunk[4] = {};
    EXPECT_NE(f()->C_SignUpdate(s_, chunk, 4), CKR_OK);
    CK_ULONG len = 0;
    EXPECT_EQ(f()->C_SignFinal(s_, nullptr, &len), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(softtoken_module_Crypto, SignaturesCheckOutWithOpenSsl) {
    generate();
    const std::string message = "checked outside";
    const auto sig = sign(CKM_SHA256_RSA_PKCS, message);
    const auto n = readAttr(f(), s_, pub_, CKA_MODULUS);
    const auto e = readAttr(f(), s_, pub_, CKA_PUBLIC_EXPONENT);
    BIGNUM* bn = BN_bin2bn(n.data(), n.size(), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), e.size(), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, "n", bn);
    OSSL_PARAM_BLD_push_BN(bld, "e", be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* fromdata = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(fromdata);
    ASSERT_EQ(EVP_PKEY_fromdata(fromdata, &key, EVP_PKEY_PUBLIC_KEY, params), 1);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestVerify(md, sig.data(), sig.size(),
                               reinterpret_cast<const unsigned char*>(message.data()),
                               message.size()),
              1);
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(fromdata);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bn);
    BN_free(be);
}

TEST_F(softtoken_module_Crypto, OperationStateAndKeyChecks) {
    generate({}, {boolAttr(CKA_DECRYPT, false)});
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE data[4] = {1, 2, 3, 4};
    CK_ULONG len = 0;
    EXPECT_EQ(f()->C_Sign(s_, data, 4, nullptr, &len), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f()->C_SignInit(s_, &mech, pub_), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(f()->C_SignInit(s_, &mech, 9999), CKR_KEY_HANDLE_INVALID);
    CK_MECHANISM aes{CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(f()->C_SignInit(s_, &aes, priv_), CKR_MECHANISM_INVALID);
    EXPECT_EQ(f()->C_SignInit(s_, nullptr, priv_), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_OK);
    EXPECT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_OPERATION_ACTIVE);
    // A length query keeps the operation; a finished one ends it.
    ASSERT_EQ(f()->C_Sign(s_, data, 4, nullptr, &len), CKR_OK);
    std::vector<CK_BYTE> sig(len);
    ASSERT_EQ(f()->C_Sign(s_, data, 4, sig.data(), &len), CKR_OK);
    EXPECT_EQ(f()->C_Sign(s_, data, 4, sig.data(), &len), CKR_OPERATION_NOT_INITIALIZED);

    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(f()->C_DecryptInit(s_, &rsa, priv_), CKR_KEY_FUNCTION_NOT_PERMITTED);

    // Private keys need the user.
    ASSERT_EQ(f()->C_Logout(s_), CKR_OK);
    EXPECT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(softtoken_module_Crypto, EncryptDecryptRoundTrip) {
    generate();
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    CK_BYTE plain[] = "session key material";
    ASSERT_EQ(f()->C_EncryptInit(s_, &mech, pub_), CKR_OK);
    CK_ULONG len = 0;
    ASSERT_EQ(f()->C_Encrypt(s_, plain, sizeof plain, nullptr, &len), CKR_OK);
    std::vector<CK_BYTE> cipher(len);
    ASSERT_EQ(f()->C_Encrypt(s_, plain, sizeof plain, cipher.data(), &len), CKR_OK);
    ASSERT_EQ(len, 128u);

    ASSERT_EQ(f()->C_DecryptInit(s_, &mech, priv_), CKR_OK);
    std::vector<CK_BYTE> out(4);
    CK_ULONG outLen = out.size();
    EXPECT_EQ(f()->C_Decrypt(s_, cipher.data(), len, out.data(), &outLen), CKR_BUFFER_TOO_SMALL);
    out.resize(outLen);
    ASSERT_EQ(f()->C_Decrypt(s_, cipher.data(), len, out.data(), &outLen), CKR_OK);
    EXPECT_EQ(std::vector<CK_BYTE>(plain, plain + sizeof plain), out);

    ASSERT_EQ(f()->C_DecryptInit(s_, &mech, priv_), CKR_OK);
    EXPECT_EQ(f()->C_Decrypt(s_, cipher.data(), 100, out.data(), &outLen),
              CKR_ENCRYPTED_DATA_LEN_RANGE);
    EXPECT_EQ(f()->C_Decrypt(s_, cipher.data(), len, out.data(), &outLen),
              CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(f()->C_EncryptInit(s_, &mech, pub_), CKR_OK);
    std::vector<CK_BYTE> tooLong(200, 1);
    EXPECT_EQ(f()->C_Encrypt(s_, tooLong.data(), tooLong.size(), cipher.data(), &len),
              CKR_DATA_LEN_RANGE);
}

// The parameter blocks reach the operations through the function list, and the
// mechanisms are listed with what they can do.
TEST_F(softtoken_module_Crypto, PssAndOaepAreOfferedAndTakeTheirParameters) {
    generate();
    struct Listed {
        CK_MECHANISM_TYPE type;
        CK_FLAGS flags;
    } listed[] = {{CKM_RSA_PKCS_PSS, CKF_SIGN | CKF_VERIFY},
                  {CKM_SHA256_RSA_PKCS_PSS, CKF_SIGN | CKF_VERIFY},
                  {CKM_SHA384_RSA_PKCS_PSS, CKF_SIGN | CKF_VERIFY},
                  {CKM_SHA512_RSA_PKCS_PSS, CKF_SIGN | CKF_VERIFY},
                  {CKM_RSA_PKCS_OAEP, CKF_ENCRYPT | CKF_DECRYPT}};
    for (const Listed& l : listed) {
        SCOPED_TRACE(l.type);
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(f()->C_GetMechanismInfo(1, l.type, &info), CKR_OK);
        EXPECT_EQ(info.flags, l.flags | CKF_HW);
        EXPECT_EQ(info.ulMinKeySize, 1024u);
    }

    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss};
    CK_BYTE data[] = "signed through the module";
    ASSERT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_OK);
    std::vector<CK_BYTE> sig(128);
    CK_ULONG len = sig.size();
    ASSERT_EQ(f()->C_Sign(s_, data, sizeof data, sig.data(), &len), CKR_OK);
    ASSERT_EQ(f()->C_VerifyInit(s_, &mech, pub_), CKR_OK);
    EXPECT_EQ(f()->C_Verify(s_, data, sizeof data, sig.data(), len), CKR_OK);
    pss.sLen = 200; // no room in a 1024-bit key
    EXPECT_EQ(f()->C_SignInit(s_, &mech, priv_), CKR_MECHANISM_PARAM_INVALID);

    CK_BYTE label[] = {'l', 'b'};
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label,
                                 sizeof label};
    CK_MECHANISM oaepMech{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    CK_BYTE plain[] = "key material";
    ASSERT_EQ(f()->C_EncryptInit(s_, &oaepMech, pub_), CKR_OK);
    std::vector<CK_BYTE> cipher(128);
    len = cipher.size();
    ASSERT_EQ(f()->C_Encrypt(s_, plain, sizeof plain, cipher.data(), &len), CKR_OK);
    ASSERT_EQ(f()->C_DecryptInit(s_, &oaepMech, priv_), CKR_OK);
    std::vector<CK_BYTE> back(128);
    CK_ULONG backLen = back.size();
    ASSERT_EQ(f()->C_Decrypt(s_, cipher.data(), len, back.data(), &backLen), CKR_OK);
    back.resize(backLen);
    EXPECT_EQ(back, std::vector<CK_BYTE>(plain, plain + sizeof plain));
}

TEST_F(softtoken_module_Crypto, DigestsMatchKnownVectors) {
    struct Case {
        CK_MECHANISM_TYPE type;
        std::string hex;
    } cases[] = {
        {CKM_MD5, "900150983cd24fb0d6963f7d28e17f72"},
        {CKM_SHA_1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {CKM_SHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    auto hex = [](const std::vector<CK_BYTE>& b) {
        static const char* d = "0123456789abcdef";
        std::string s;
        for (CK_BYTE c : b)
            s += {d[c >> 4], d[c & 15]};
        return s;
    };
    CK_BYTE abc[] = {'a', 'b', 'c'};
    for (const Case& c : cases) {
        CK_MECHANISM mech{c.type, nullptr, 0};
        ASSERT_EQ(f()->C_DigestInit(s_, &mech), CKR_OK);
        CK_ULONG len = 0;
        ASSERT_EQ(f()->C_Digest(s_, abc, 3, nullptr, &len), CKR_OK);
        std::vector<CK_BYTE> out(len);
        ASSERT_EQ(f()->C_Digest(s_, abc, 3, out.data(), &len), CKR_OK);
        EXPECT_EQ(hex(out), c.hex);

        ASSERT_EQ(f()->C_DigestInit(s_, &mech), CKR_OK);
        ASSERT_EQ(f()->C_DigestUpdate(s_, abc, 1), CKR_OK);
        ASSERT_EQ(f()->C_DigestUpdate(s_, abc + 1, 2), CKR_OK);
        ASSERT_EQ(f()->C_DigestFinal(s_, out.data(), &len), CKR_OK);
        EXPECT_EQ(hex(out), c.hex);
    }
}

TEST_F(softtoken_module_Crypto, RandomAndSeed) {
    CK_BYTE a[32] = {}, b[32] = {};
    ASSERT_EQ(f()->C_GenerateRandom(s_, a, sizeof a), CKR_OK);
    ASSERT_EQ(f()->C_GenerateRandom(s_, b, sizeof b), CKR_OK);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_EQ(f()->C_GenerateRandom(s_, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_SeedRandom(s_, a, sizeof a), CKR_RANDOM_SEED_NOT_SUPPORTED);
}

} // namespace
} // namespace softtoken::module::test
