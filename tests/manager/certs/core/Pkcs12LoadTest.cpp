#include "CertFixtures.h"
#include "Pkcs12Import.h"

#include <gtest/gtest.h>

#include <filesystem>

using fixtures::Cipher;
using fixtures::Mac;
using fixtures::Pkcs12Spec;

namespace {

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
        Pkcs12Spec spec;
        spec.cipher = cipher;
        spec.mac = cipher == Cipher::Legacy ? Mac::Sha1 : Mac::Password;
        Bytes file = fixtures::makePkcs12(key.get(), certificate.get(), spec);
        EXPECT_EQ(load(file, "secret"), ImportResult::Success) << static_cast<int>(cipher);
        EXPECT_TRUE(loadedOurPair());
        EXPECT_EQ(load(file, "Secret"), ImportResult::WrongPassword);
        EXPECT_FALSE(contents.key);
        EXPECT_EQ(load(file, ""), ImportResult::WrongPassword);
    }
}

TEST_F(Pkcs12LoadTest, EmptyPasswordMatchesMacWithoutPasswordAndWithTheEmptyOne) {
    Pkcs12Spec absent;
    absent.nullPassword = true;
    absent.mac = Mac::NullPassword;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), absent), ""),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());

    Pkcs12Spec empty;
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
    Pkcs12Spec current;
    current.password = typed;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), current), typed),
              ImportResult::Success);
    // Older libraries made one character of each byte: the same as those bytes read as Latin-1.
    Pkcs12Spec older;
    older.password = "p\xC3\x83\xC2\xA4ss";
    older.cipher = Cipher::Legacy;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), older), typed),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), older), "pass"),
              ImportResult::WrongPassword);
}

TEST_F(Pkcs12LoadTest, FileWithoutMacIsCheckedByItsEncryptedBags) {
    Pkcs12Spec spec;
    spec.mac = Mac::Absent;
    Bytes file = fixtures::makePkcs12(key.get(), certificate.get(), spec);
    EXPECT_EQ(load(file, "secret"), ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
    EXPECT_EQ(load(file, "wrong"), ImportResult::WrongPassword);
}

TEST_F(Pkcs12LoadTest, NestedSafeContentsAndChainsFindTheKeysCertificate) {
    certs::EvpPkeyPtr caKey = fixtures::rsaKey(2048, 1);
    fixtures::CertSpec caSpec;
    caSpec.subject = {"Test CA", "", "", ""};
    caSpec.ca = true;
    certs::X509Ptr ca = fixtures::makeCertificate(caSpec, caKey.get(), caKey.get());
    fixtures::CertSpec leafSpec;
    certs::X509Ptr leaf = fixtures::makeCertificate(leafSpec, key.get(), caKey.get(), ca.get());
    certificate.reset(X509_dup(leaf.get()));

    Pkcs12Spec spec;
    spec.chain = {ca.get()};
    spec.chainFirst = true;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), leaf.get(), spec), "secret"),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());

    spec.nested = true;
    spec.cipher = Cipher::Legacy;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), leaf.get(), spec), "secret"),
              ImportResult::Success);
    EXPECT_TRUE(loadedOurPair());
}

TEST_F(Pkcs12LoadTest, KeysOtherThanRsaAndUnmatchedCertificatesAreNotSupported) {
    certs::EvpPkeyPtr ec = fixtures::ecKey();
    certs::X509Ptr ecCertificate = fixtures::selfSigned("Eve", ec.get());
    EXPECT_EQ(load(fixtures::makePkcs12(ec.get(), ecCertificate.get()), "secret"),
              ImportResult::NotSupported);

    Pkcs12Spec otherId;
    otherId.certificateKeyId = "another identifier";
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), otherId), "secret"),
              ImportResult::NotSupported);

    Pkcs12Spec noKeyId;
    noKeyId.keyWithoutId = true;
    EXPECT_EQ(load(fixtures::makePkcs12(key.get(), certificate.get(), noKeyId), "secret"),
              ImportResult::NotSupported);

    // The identifiers agree but the certificate carries another key.
    certs::EvpPkeyPtr stranger = fixtures::rsaKey(2048, 1);
    certs::X509Ptr strangerCertificate = fixtures::selfSigned("Mallory", stranger.get());
    Pkcs12Spec sameId;
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

} // namespace
