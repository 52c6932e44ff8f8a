#include "CertFixtures.h"
#include "Pkcs12Import.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <filesystem>

using fixtures::Cipher;
using fixtures::Mac;
using fixtures::Pkcs12Recipe;

namespace {

// Rewrites the iteration count in a PBES1 or PBES2 (PBKDF2) algorithm's
// parameters, without deriving anything with it.
void setPbeIterations(const X509_ALGOR* constAlgorithm, long iterations) {
    auto* algorithm = const_cast<X509_ALGOR*>(constAlgorithm);
    if (OBJ_obj2nid(algorithm->algorithm) == NID_pbes2) {
        auto* pbes2 = static_cast<PBE2PARAM*>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter));
        ASSERT_NE(pbes2, nullptr);
        auto* kdf = static_cast<PBKDF2PARAM*>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter));
        ASSERT_NE(kdf, nullptr);
        ASN1_INTEGER_set(kdf->iter, iterations);
        ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), kdf, &pbes2->keyfunc->parameter);
        ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBE2PARAM), pbes2, &algorithm->parameter);
        PBKDF2PARAM_free(kdf);
        PBE2PARAM_free(pbes2);
        return;
    }
    auto* pbes1 = static_cast<PBEPARAM*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), algorithm->parameter));
    ASSERT_NE(pbes1, nullptr);
    ASN1_INTEGER_set(pbes1->iter, iterations);
    ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBEPARAM), pbes1, &algorithm->parameter);
    PBEPARAM_free(pbes1);
}

// Rewrites the cost in a PBES2 algorithm with scrypt, again without deriving.
void setScryptCost(const X509_ALGOR* constAlgorithm, std::uint64_t n, std::uint64_t r,
                   std::uint64_t p) {
    auto* algorithm = const_cast<X509_ALGOR*>(constAlgorithm);
    auto* pbes2 = static_cast<PBE2PARAM*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter));
    ASSERT_NE(pbes2, nullptr);
    auto* cost = static_cast<SCRYPT_PARAMS*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), pbes2->keyfunc->parameter));
    ASSERT_NE(cost, nullptr);
    ASN1_INTEGER_set_uint64(cost->costParameter, n);
    ASN1_INTEGER_set_uint64(cost->blockSize, r);
    ASN1_INTEGER_set_uint64(cost->parallelizationParameter, p);
    ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), cost, &pbes2->keyfunc->parameter);
    ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBE2PARAM), pbes2, &algorithm->parameter);
    SCRYPT_PARAMS_free(cost);
    PBE2PARAM_free(pbes2);
}

// A PBES2 algorithm with scrypt at this cost.
std::unique_ptr<X509_ALGOR, void (*)(X509_ALGOR*)> scryptAlgorithm(std::uint64_t n,
                                                                   std::uint64_t r,
                                                                   std::uint64_t p) {
    std::unique_ptr<X509_ALGOR, void (*)(X509_ALGOR*)> algorithm(
        PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), nullptr, 0, nullptr, 1024, 8, 1), X509_ALGOR_free);
    if (algorithm)
        setScryptCost(algorithm.get(), n, r, p);
    return algorithm;
}

Bytes encode(PKCS12* p12) {
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12, &der);
    Bytes bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

enum class Forged { Mac, EncryptedSafe, KeyBag };

// The file with one of its iteration counts raised, or its key bag's
// algorithm changed by `forge`; everything else, the MAC's validity
// included, stays as it was.
Bytes withIterations(const Bytes& file, Forged where, long iterations,
                     const std::function<void(const X509_ALGOR*)>& forge = {}) {
    const unsigned char* p = file.data();
    certs::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(file.size())));
    if (where == Forged::Mac) {
        const ASN1_INTEGER* count = nullptr;
        PKCS12_get0_mac(nullptr, nullptr, nullptr, &count, p12.get());
        ASN1_INTEGER_set(const_cast<ASN1_INTEGER*>(count), iterations);
        return encode(p12.get());
    }
    certs::AuthSafesPtr safes(PKCS12_unpack_authsafes(p12.get()));
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        if (where == Forged::EncryptedSafe && PKCS7_type_is_encrypted(safe))
            setPbeIterations(safe->d.encrypted->enc_data->algorithm, iterations);
        if (where != Forged::KeyBag || !PKCS7_type_is_data(safe))
            continue;
        certs::SafeBagsPtr bags(PKCS12_unpack_p7data(safe));
        for (int b = 0; b < sk_PKCS12_SAFEBAG_num(bags.get()); ++b) {
            const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags.get(), b);
            if (PKCS12_SAFEBAG_get_nid(bag) != NID_pkcs8ShroudedKeyBag)
                continue;
            const X509_ALGOR* algorithm = nullptr;
            X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &algorithm, nullptr);
            if (forge)
                forge(algorithm);
            else
                setPbeIterations(algorithm, iterations);
        }
        sk_PKCS7_set(safes.get(), i, PKCS12_pack_p7data(bags.get()));
        PKCS7_free(safe);
    }
    certs::Pkcs12Ptr rebuilt(PKCS12_add_safes(safes.get(), 0));
    PKCS12_set_mac(rebuilt.get(), "secret", -1, nullptr, 0, 2048, EVP_sha256());
    return encode(rebuilt.get());
}

class Pkcs12LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        key = fixtures::rsaKey();
        certificate = fixtures::selfSigned("Alice", key.get());
    }
    ImportResult load(const Bytes& file, const std::string& password) {
        return LoadPkcs12Bytes(file, password, contents);
    }
    bool loadedOurPair() const {
        return contents.key && contents.certificate &&
               X509_cmp(contents.certificate.get(), certificate.get()) == 0 &&
               EVP_PKEY_eq(contents.key.get(), key.get()) == 1;
    }

    certs::EvpPkeyPtr key;
    certs::X509Ptr certificate;
    Pkcs12Contents contents;
};

TEST_F(Pkcs12LoadTest, ModernAndLegacyEncryptionOpenWithTheirPassword) {
    for (Cipher cipher : {Cipher::Modern, Cipher::Legacy, Cipher::None}) {
        Pkcs12Recipe recipe;
        recipe.cipher = cipher;
        recipe.mac = cipher == Cipher::Legacy ? Mac::Sha1 : Mac::Password;
        Bytes file = fixtures::makePkcs12(key.get(), certificate.get(), recipe);
        EXPECT_EQ(load(file, "secret"), ImportResult::Success) << static_cast<int>(cipher);
        EXPECT_TRUE(loadedOurPair());
        EXPECT_EQ(load(file, "Secret"), ImportResult::WrongPassword);
        EXPECT_FALSE(contents.key);
        EXPECT_EQ(load(file, ""), ImportResult::WrongPassword);
    }
}

TEST_F(Pkcs12LoadTest, EmptyPasswordMatchesMacWithoutPasswordAndWithTheEmptyOne) {
    Pkcs12Recipe absent;
    absent.nullPassword = true;
    absent.mac = Mac::NullPassword;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), absent), ""),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());

    Pkcs12Recipe empty;
    empty.password = "";
    Bytes file = fixtures::makePkcs12(key.get(), certificate.get(), empty);
    EXPECT_EQ(load(file, ""), ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
    EXPECT_EQ(load(file, "x"), ImportResult::WrongPassword);
}

TEST_F(Pkcs12LoadTest, PasswordEndsAtItsFirstNul) {
    Bytes file = fixtures::makePkcs12(key.get(), certificate.get());
    EXPECT_EQ(load(file, std::string("secret\0tail", 11)), ImportResult::Success);
}

TEST_F(Pkcs12LoadTest, NonAsciiPasswordsOfNewAndOlderLibraries) {
    const std::string typed = "p\xC3\xA4ss"; // "päss" in UTF-8
    Pkcs12Recipe current;
    current.password = typed;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), current), typed),
              ImportResult::Success);
    // Older libraries made one character of each byte: the same as those bytes read as Latin-1.
    Pkcs12Recipe older;
    older.password = "p\xC3\x83\xC2\xA4ss";
    older.cipher = Cipher::Legacy;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), older), typed),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), older), "pass"),
              ImportResult::WrongPassword);
}

TEST_F(Pkcs12LoadTest, FileWithoutMacIsCheckedByItsEncryptedBags) {
    Pkcs12Recipe recipe;
    recipe.mac = Mac::Absent;
    Bytes file = fixtures::makePkcs12(key.get(), certificate.get(), recipe);
    EXPECT_EQ(load(file, "secret"), ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
    EXPECT_EQ(load(file, "wrong"), ImportResult::WrongPassword);
}

TEST_F(Pkcs12LoadTest, NestedSafeContentsAndChainsFindTheKeysCertificate) {
    certs::EvpPkeyPtr caKey = fixtures::rsaKey(2048, 1);
    fixtures::CertRecipe caRecipe;
    caRecipe.subject = {"Test CA", "", "", ""};
    caRecipe.ca = true;
    certs::X509Ptr ca = fixtures::makeCertificate(caRecipe, caKey.get(), caKey.get());
    fixtures::CertRecipe leafRecipe;
    certs::X509Ptr leaf = fixtures::makeCertificate(leafRecipe, key.get(), caKey.get(), ca.get());
    certificate.reset(X509_dup(leaf.get()));

    Pkcs12Recipe recipe;
    recipe.chain = {ca.get()};
    recipe.chainFirst = true;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), leaf.get(), recipe), "secret"),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());

    recipe.nested = true;
    recipe.cipher = Cipher::Legacy;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), leaf.get(), recipe), "secret"),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
}

TEST_F(Pkcs12LoadTest, KeysOtherThanRsaAndUnmatchedCertificatesAreNotSupported) {
    certs::EvpPkeyPtr ec = fixtures::ecKey();
    certs::X509Ptr ecCertificate = fixtures::selfSigned("Eve", ec.get());
    EXPECT_EQ(load(fixtures::makePkcs12(ec.get(), ecCertificate.get()), "secret"),
              ImportResult::NotSupported);

    Pkcs12Recipe otherId;
    otherId.certificateKeyId = "another identifier";
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), otherId), "secret"),
              ImportResult::NotSupported);

    Pkcs12Recipe noKeyId;
    noKeyId.keyWithoutId = true;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), noKeyId), "secret"),
              ImportResult::NotSupported);

    // The identifiers agree but the certificate carries another key.
    certs::EvpPkeyPtr stranger = fixtures::rsaKey(2048, 1);
    certs::X509Ptr strangerCertificate = fixtures::selfSigned("Mallory", stranger.get());
    Pkcs12Recipe sameId;
    sameId.certificateKeyId = sameId.keyKeyId = "shared";
    Bytes file = fixtures::makePkcs12(key.get(), strangerCertificate.get(), sameId);
    EXPECT_EQ(load(file, "secret"), ImportResult::NotSupported);
    EXPECT_FALSE(contents.key);
}

TEST_F(Pkcs12LoadTest, DamagedFilesAreNotSupportedAndMissingOnesNotFound) {
    Bytes file = fixtures::makePkcs12(key.get(), certificate.get());
    for (size_t cut : {size_t(0), size_t(1), size_t(10), file.size() / 2, file.size() - 1}) {
        Bytes truncated(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(load(truncated, "secret"), ImportResult::NotSupported) << cut;
    }
    EXPECT_EQ(load(fixtures::makePkcs7({certificate.get()}), "secret"), ImportResult::NotSupported);

    char folder[] = "/tmp/certs-p12-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string missing = std::string(folder) + "/missing.pfx";
    EXPECT_EQ(LoadPkcs12(missing, "secret", contents), ImportResult::FileNotFound);
    std::string huge = std::string(folder) + "/huge.pfx";
    fixtures::writeFile(huge, file);
    std::filesystem::resize_file(huge, kMaxImportFileSize + 1);
    EXPECT_EQ(LoadPkcs12(huge, "secret", contents), ImportResult::NotSupported);
    std::string good = std::string(folder) + "/good.pfx";
    fixtures::writeFile(good, file);
    EXPECT_EQ(LoadPkcs12(good, "secret", contents), ImportResult::Success);
    std::filesystem::remove_all(folder);
}

TEST_F(Pkcs12LoadTest, CountsBeyondAnyRealFileAreRefusedBeforeDerivingAKey) {
    // Derived with these counts, each file would keep the import busy for hours.
    const long hostile = LONG_MAX;
    for (Cipher cipher : {Cipher::Modern, Cipher::Legacy}) {
        Pkcs12Recipe recipe;
        recipe.cipher = cipher;
        Bytes file = fixtures::makePkcs12(key.get(), certificate.get(), recipe);
        ASSERT_EQ(load(file, "secret"), ImportResult::Success);
        for (Forged where : {Forged::Mac, Forged::EncryptedSafe, Forged::KeyBag}) {
            for (long iterations : {kMaxPkcs12Iterations + 1, hostile}) {
                Bytes forged = withIterations(file, where, iterations);
                ASSERT_FALSE(forged.empty());
                EXPECT_EQ(load(forged, "secret"), ImportResult::NotSupported)
                    << static_cast<int>(cipher) << '/' << static_cast<int>(where) << '/'
                    << iterations;
                EXPECT_FALSE(contents.key);
                // Checked before any password is tried, the key bag's count too.
                EXPECT_EQ(load(forged, "s\xE9"
                                       "cret"),
                          ImportResult::NotSupported);
            }
        }
    }
    // A file without a MAC is read bag by bag: the key bag's count is checked there.
    Pkcs12Recipe noMac;
    noMac.mac = Mac::Absent;
    Bytes forged = withIterations(fixtures::makePkcs12(key.get(), certificate.get(), noMac),
                                  Forged::KeyBag, hostile);
    EXPECT_EQ(load(forged, "secret"), ImportResult::NotSupported);
}

TEST_F(Pkcs12LoadTest, LegacyCiphersStayOutOfTheDefaultContext) {
    Pkcs12Recipe recipe;
    recipe.cipher = Cipher::Legacy;
    recipe.mac = Mac::Sha1;
    ASSERT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), recipe), "secret"),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
    // RC2 lives only in the legacy provider.
    EVP_CIPHER* rc2 = EVP_CIPHER_fetch(nullptr, "RC2-40-CBC", nullptr);
    EXPECT_EQ(rc2, nullptr);
    EVP_CIPHER_free(rc2);
    // The key and certificate work in the default context.
    certs::EvpPkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, contents.key.get(), nullptr));
    ASSERT_TRUE(check);
    EXPECT_EQ(EVP_PKEY_check(check.get()), 1);
}

TEST_F(Pkcs12LoadTest, ScryptKeysOpenAndHugeOrUnknownDerivationsAreRefusedBeforeAnyRuns) {
    Pkcs12Recipe recipe;
    recipe.cipher = Cipher::Scrypt;
    Bytes file = fixtures::makePkcs12(key.get(), certificate.get(), recipe);
    ASSERT_EQ(load(file, "secret"), ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());

    // 1 GiB of table, 2^33 of work, and a key derivation that is neither
    // PBKDF2 nor scrypt: refused with the wrong password too, so before the MAC.
    const std::function<void(const X509_ALGOR*)> forgeries[] = {
        [](const X509_ALGOR* a) { setScryptCost(a, 1u << 20, 8, 1); },
        [](const X509_ALGOR* a) { setScryptCost(a, 1u << 14, 8, 1u << 16); },
        [](const X509_ALGOR* a) {
            auto* pbes2 = static_cast<PBE2PARAM*>(
                ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), a->parameter));
            ASSERT_NE(pbes2, nullptr);
            ASN1_OBJECT_free(pbes2->keyfunc->algorithm);
            pbes2->keyfunc->algorithm = OBJ_nid2obj(NID_hmacWithSHA256);
            ASN1_TYPE_pack_sequence(ASN1_ITEM_rptr(PBE2PARAM), pbes2,
                                    &const_cast<X509_ALGOR*>(a)->parameter);
            PBE2PARAM_free(pbes2);
        },
    };
    for (const auto& forge : forgeries) {
        Bytes forged = withIterations(file, Forged::KeyBag, 0, forge);
        ASSERT_FALSE(forged.empty());
        EXPECT_EQ(load(forged, "secret"), ImportResult::NotSupported);
        EXPECT_FALSE(contents.key);
        EXPECT_EQ(load(forged, "wrong"), ImportResult::NotSupported);
    }
}

TEST_F(Pkcs12LoadTest, EveryPasswordTriedCountsTowardsTheCap) {
    // One try of this MAC is within the cap; an empty password is tried twice
    // (absent, then empty), and the second try would pass it.
    Bytes file = fixtures::makePkcs12(key.get(), certificate.get());
    Bytes forged = withIterations(file, Forged::Mac, kMaxPkcs12Iterations / 2 + 1);
    EXPECT_EQ(load(forged, ""), ImportResult::NotSupported);
    EXPECT_EQ(load(forged, "secret"), ImportResult::WrongPassword);
}

TEST(Pkcs12WorkCapTest, ScryptMemoryPerDerivationAndWorkOfAllDerivations) {
    struct Case {
        std::uint64_t n, r, p;
        bool accepted;
    };
    const Case cases[] = {
        {1u << 21, 1, 1, true},  // 256 MiB of table
        {1u << 22, 1, 1, false}, // 512 MiB
        {2, 1u << 21, 1, false}, // 512 MiB of table from r
        {2, 1, 1u << 21, true},  // 256 MiB of blocks
        {2, 1, 1u << 22, false},
        {1u << 21, 1, 8, true}, // 2^24 work
        {1u << 21, 1, 9, false},
        {0, 8, 1, false},
        {1u << 14, 0, 1, false},
        {1u << 14, 8, 0, false},
        {1ull << 40, 8, 1, false}, // beyond any real figure
    };
    for (const Case& c : cases) {
        Pkcs12WorkCap cap;
        auto algorithm = scryptAlgorithm(c.n, c.r, c.p);
        ASSERT_TRUE(algorithm);
        EXPECT_EQ(cap.charge(algorithm.get()), c.accepted) << c.n << ' ' << c.r << ' ' << c.p;
    }
    // The work adds up over one import; a refused charge leaves the rest.
    Pkcs12WorkCap cap;
    auto half = scryptAlgorithm(1u << 14, 8, 64);
    auto tiny = scryptAlgorithm(2, 1, 1);
    EXPECT_TRUE(cap.charge(half.get()));
    EXPECT_FALSE(cap.charge(scryptAlgorithm(1u << 14, 8, 65).get()));
    EXPECT_TRUE(cap.charge(half.get()));
    EXPECT_FALSE(cap.charge(tiny.get()));
    EXPECT_FALSE(cap.charge(nullptr));

    // PBES1 and PBKDF2 rounds share the other total; a MAC without a count is 1.
    Pkcs12WorkCap rounds;
    std::unique_ptr<ASN1_INTEGER, void (*)(ASN1_INTEGER*)> count(ASN1_INTEGER_new(),
                                                                 ASN1_INTEGER_free);
    ASN1_INTEGER_set(count.get(), kMaxPkcs12Iterations - 1);
    EXPECT_TRUE(rounds.chargeMac(count.get()));
    EXPECT_TRUE(rounds.chargeMac(nullptr));
    EXPECT_FALSE(rounds.chargeMac(nullptr));
    // An algorithm that is no password-based encryption at all.
    std::unique_ptr<X509_ALGOR, void (*)(X509_ALGOR*)> plain(X509_ALGOR_new(), X509_ALGOR_free);
    X509_ALGOR_set0(plain.get(), OBJ_nid2obj(NID_aes_256_cbc), V_ASN1_NULL, nullptr);
    EXPECT_FALSE(Pkcs12WorkCap().charge(plain.get()));
}

} // namespace
