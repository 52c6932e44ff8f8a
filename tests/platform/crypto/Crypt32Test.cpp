// crypt32 over certificates made with OpenSSL: the CERT_INFO layout, damaged encodings, display
// names, validity times and the public key blob handed to the provider.
#include "CryptoTestSupport.h"
#include "TestCertificates.h"

#include "platform/win/CodePages.h"

#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct ContextCloser {
    void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using ContextPtr = std::unique_ptr<const CERT_CONTEXT, ContextCloser>;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

ContextPtr contextOf(const Bytes& der) {
    return ContextPtr(
        CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size())));
}

Bytes blobBytes(const CRYPT_INTEGER_BLOB& blob) {
    return Bytes(blob.pbData, blob.pbData + blob.cbData);
}

Bytes nameDer(const std::vector<NameEntry>& entries) {
    // The names as OpenSSL encodes them inside a certificate of the same recipe.
    CertificateRecipe recipe;
    recipe.subject = entries;
    Bytes der = makeCertificate(recipe);
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
    unsigned char* out = nullptr;
    const int length = i2d_X509_NAME(X509_get_subject_name(certificate.get()), &out);
    Bytes name(out, out + length);
    OPENSSL_free(out);
    return name;
}

unsigned long long fileTimeOf(std::time_t t) {
    return (static_cast<unsigned long long>(t) + 11644473600ULL) * 10000000ULL;
}
unsigned long long ticks(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
FILETIME fileTime(unsigned long long value) {
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

std::string displayName(PCCERT_CONTEXT context, DWORD flags = 0) {
    char buffer[256];
    const DWORD length = CertGetNameStringA(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr,
                                            buffer, sizeof buffer);
    EXPECT_GE(length, 1u);
    return std::string(buffer);
}

TEST(CertificateContextTest, FieldsAreLaidOutAsWindowsDoes) {
    CertificateRecipe recipe;
    recipe.subject = {{"CN", "Alice"}, {"O", "Example"}};
    recipe.issuer = {{"CN", "Test CA"}};
    // The high bit makes DER add a 0x00, which the serial keeps, last after reversal.
    recipe.serial = {0x80, 0x01, 0x02};
    recipe.subjectEmails = {"alice@example.com"};
    const Bytes der = makeCertificate(recipe);
    ContextPtr context = contextOf(der);
    ASSERT_TRUE(context) << std::hex << GetLastError();

    EXPECT_EQ(context->dwCertEncodingType, kEncoding);
    EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded), der);
    EXPECT_NE(context->pbCertEncoded, der.data()) << "the context owns its copy";
    EXPECT_NE(context->hCertStore, nullptr);
    const CERT_INFO& info = *context->pCertInfo;
    EXPECT_EQ(info.dwVersion, 2u);
    EXPECT_EQ(blobBytes(info.SerialNumber), (Bytes{0x02, 0x01, 0x80, 0x00}));
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_EQ(blobBytes(info.SignatureAlgorithm.Parameters), (Bytes{0x05, 0x00}));
    EXPECT_EQ(blobBytes(info.Subject), nameDer(recipe.subject));
    EXPECT_EQ(blobBytes(info.Issuer), nameDer(recipe.issuer));
    EXPECT_EQ(ticks(info.NotBefore), fileTimeOf(recipe.notBefore));
    EXPECT_EQ(ticks(info.NotAfter), fileTimeOf(recipe.notAfter));

    const CERT_PUBLIC_KEY_INFO& key = info.SubjectPublicKeyInfo;
    EXPECT_STREQ(key.Algorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_EQ(blobBytes(key.Algorithm.Parameters), (Bytes{0x05, 0x00}));
    EXPECT_EQ(Bytes(key.PublicKey.pbData, key.PublicKey.pbData + key.PublicKey.cbData),
              testKeyRsaPublicKey());
    EXPECT_EQ(key.PublicKey.cUnusedBits, 0u);
    EXPECT_EQ(info.IssuerUniqueId.cbData, 0u);

    ASSERT_EQ(info.cExtension, 2u);
    EXPECT_STREQ(info.rgExtension[0].pszObjId, "2.5.29.19");
    EXPECT_TRUE(info.rgExtension[0].fCritical);
    EXPECT_EQ(blobBytes(info.rgExtension[0].Value), (Bytes{0x30, 0x00}));
    EXPECT_STREQ(info.rgExtension[1].pszObjId, "2.5.29.17");
    EXPECT_FALSE(info.rgExtension[1].fCritical);

    // A serial without the high bit has no 0x00 to keep.
    recipe.serial = {0x12, 0x34};
    ContextPtr plain = contextOf(makeCertificate(recipe));
    ASSERT_TRUE(plain);
    EXPECT_EQ(blobBytes(plain->pCertInfo->SerialNumber), (Bytes{0x34, 0x12}));
}

TEST(CertificateContextTest, DamagedEncodingsAreRefusedWithoutHarm) {
    const Bytes der = makeCertificate({});
    auto errorOf = [](const Bytes& bytes) -> DWORD {
        SetLastError(ERROR_SUCCESS);
        ContextPtr context = contextOf(bytes);
        return context ? ERROR_SUCCESS : GetLastError();
    };
    EXPECT_EQ(errorOf({}), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    Bytes wrongTag = der;
    wrongTag[0] = 0x31;
    EXPECT_EQ(errorOf(wrongTag), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    EXPECT_EQ(errorOf(Bytes(der.begin(), der.end() - 1)), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    Bytes trailing = der;
    trailing.push_back(0x00);
    EXPECT_EQ(errorOf(trailing), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
    EXPECT_EQ(errorOf({0x30, 0x03, 0x02, 0x01, 0x00}), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    EXPECT_EQ(errorOf({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    EXPECT_EQ(CertCreateCertificateContext(PKCS_7_ASN_ENCODING, der.data(),
                                           static_cast<DWORD>(der.size())),
              nullptr);
    EXPECT_EQ(CertCreateCertificateContext(kEncoding, nullptr, 10), nullptr);

    // Every prefix is refused, and no single damaged byte crashes the decoder (a context made
    // from one still describes its own bytes).
    for (size_t length = 1; length < der.size(); ++length)
        EXPECT_NE(errorOf(Bytes(der.begin(), der.begin() + static_cast<long>(length))),
                  ERROR_SUCCESS)
            << length;
    for (size_t i = 0; i < der.size(); ++i) {
        Bytes damaged = der;
        damaged[i] ^= 0xA5;
        ContextPtr context = contextOf(damaged);
        if (context) {
            EXPECT_EQ(context->cbCertEncoded, damaged.size());
        }
    }
}

TEST(CertificateContextTest, FreeAcceptsNullAndRefusesForeignPointers) {
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
    CERT_CONTEXT foreign{};
    EXPECT_FALSE(CertFreeCertificateContext(&foreign));
    const Bytes der = makeCertificate({});
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(context, nullptr);
    EXPECT_TRUE(CertFreeCertificateContext(context));
    EXPECT_FALSE(CertFreeCertificateContext(context)) << "a freed context is not freed twice";
}

TEST(DisplayNameTest, CommonNameThenUnitOrganizationEmailAlternativeNameFirstAttribute) {
    struct Case {
        std::vector<NameEntry> subject;
        std::vector<std::string> emails;
        std::string expected;
    };
    const NameEntry country{"C", "DE"};
    const NameEntry email{"emailAddress", "box@example.com"};
    const std::vector<Case> cases = {
        {{country, {"O", "Org"}, {"OU", "Unit"}, email, {"CN", "Alice"}}, {"san@x.org"}, "Alice"},
        {{country, {"O", "Org"}, {"OU", "Unit"}, email}, {"san@x.org"}, "Unit"},
        {{country, email, {"O", "Org"}}, {"san@x.org"}, "Org"},
        {{country, email}, {"san@x.org"}, "box@example.com"},
        {{country, {"L", "Berlin"}}, {"san@x.org", "second@x.org"}, "san@x.org"},
        {{{"L", "Berlin"}, country}, {}, "Berlin"},
        {{}, {}, ""},
    };
    for (const Case& c : cases) {
        CertificateRecipe recipe;
        recipe.subject = c.subject;
        recipe.issuer = {{"CN", "Issuer CA"}};
        recipe.subjectEmails = c.emails;
        ContextPtr context = contextOf(makeCertificate(recipe));
        ASSERT_TRUE(context);
        EXPECT_EQ(displayName(context.get()), c.expected);
    }

    // The issuer flag reads the issuer's name and its own alternative name.
    CertificateRecipe recipe;
    recipe.issuer = {{"C", "FR"}};
    recipe.subjectEmails = {"subject@x.org"};
    recipe.issuerEmails = {"issuer@x.org"};
    ContextPtr context = contextOf(makeCertificate(recipe));
    ASSERT_TRUE(context);
    EXPECT_EQ(displayName(context.get(), CERT_NAME_ISSUER_FLAG), "issuer@x.org");
    recipe.issuerEmails.clear();
    context = contextOf(makeCertificate(recipe));
    EXPECT_EQ(displayName(context.get(), CERT_NAME_ISSUER_FLAG), "FR");
}

TEST(DisplayNameTest, LengthQueriesAndShortBuffers) {
    CertificateRecipe recipe;
    recipe.subject = {{"CN", "Alice Example"}};
    ContextPtr context = contextOf(makeCertificate(recipe));
    ASSERT_TRUE(context);
    EXPECT_EQ(CertGetNameStringA(context.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0),
              14u);
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CertGetNameStringA(context.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, 0),
              14u);
    EXPECT_EQ(buffer[0], 'x') << "size 0 writes nothing";
    EXPECT_EQ(CertGetNameStringA(context.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, 6),
              6u);
    EXPECT_STREQ(buffer, "Alice");
    EXPECT_EQ(buffer[6], 'x');
    EXPECT_EQ(CertGetNameStringA(context.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, 14),
              14u);
    EXPECT_STREQ(buffer, "Alice Example");
}

class DisplayNameCodePageTest : public ::testing::Test {
protected:
    static void useCodePage(const char* codePage) {
        setenv("KORVAN_ANSI_CODEPAGE", codePage, 1);
        korvanResetAnsiCodePage();
    }
    void TearDown() override {
        unsetenv("KORVAN_ANSI_CODEPAGE");
        korvanResetAnsiCodePage();
    }
};

TEST_F(DisplayNameCodePageTest, NamesAreTheAnsiBytesOfTheCodePage) {
    CertificateRecipe recipe;
    recipe.subject = {{"CN", "中文"}};
    ContextPtr utf8 = contextOf(makeCertificate(recipe));
    recipe.subject = {{"CN", "中文", true}};
    ContextPtr bmp = contextOf(makeCertificate(recipe));
    recipe.subject = {{"CN", "Zoë"}};
    ContextPtr accented = contextOf(makeCertificate(recipe));
    ASSERT_TRUE(utf8 && bmp && accented);

    useCodePage("936");
    EXPECT_EQ(displayName(utf8.get()), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(displayName(bmp.get()), "\xD6\xD0\xCE\xC4");
    // A short buffer is cut between characters, never inside a double-byte one.
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(CertGetNameStringA(utf8.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer, 4),
              3u);
    EXPECT_STREQ(buffer, "\xD6\xD0");
    EXPECT_EQ(CertGetNameStringA(utf8.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0),
              5u);

    useCodePage("65001");
    EXPECT_EQ(displayName(utf8.get()), "\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(displayName(bmp.get()), "\xE4\xB8\xAD\xE6\x96\x87");

    useCodePage("1252");
    EXPECT_EQ(displayName(accented.get()), "Zo\xEB");
    EXPECT_EQ(displayName(utf8.get()), "??");
}

TEST(TimeValidityTest, BeforeWithinAfterAndNow) {
    CertificateRecipe recipe;
    ContextPtr context = contextOf(makeCertificate(recipe));
    ASSERT_TRUE(context);
    PCERT_INFO info = context->pCertInfo;
    FILETIME before = fileTime(fileTimeOf(recipe.notBefore) - 1);
    FILETIME start = fileTime(fileTimeOf(recipe.notBefore));
    FILETIME end = fileTime(fileTimeOf(recipe.notAfter));
    FILETIME after = fileTime(fileTimeOf(recipe.notAfter) + 1);
    EXPECT_EQ(CertVerifyTimeValidity(&before, info), -1);
    EXPECT_EQ(CertVerifyTimeValidity(&start, info), 0);
    EXPECT_EQ(CertVerifyTimeValidity(&end, info), 0);
    EXPECT_EQ(CertVerifyTimeValidity(&after, info), 1);

    const std::time_t now = std::time(nullptr);
    recipe.notBefore = now - 3600;
    recipe.notAfter = now + 3600;
    ContextPtr current = contextOf(makeCertificate(recipe));
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, current->pCertInfo), 0);
    recipe.notAfter = now - 60;
    ContextPtr expired = contextOf(makeCertificate(recipe));
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, expired->pCertInfo), 1);
    recipe.notBefore = now + 3600;
    recipe.notAfter = now + 7200;
    ContextPtr future = contextOf(makeCertificate(recipe));
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, future->pCertInfo), -1);
}

using ImportPublicKeyTest = CryptoRegistryTest;

TEST_F(ImportPublicKeyTest, BlobReachesTheProviderInWindowsLayout) {
    ContextPtr context = contextOf(makeCertificate({}));
    ASSERT_TRUE(context);
    HCRYPTPROV provider = acquire();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptImportPublicKeyInfo(provider, kEncoding,
                                         &context->pCertInfo->SubjectPublicKeyInfo, &key))
        << std::hex << GetLastError();
    FakeProviderLog* log = providerLog();
    ASSERT_NE(log, nullptr);
    const Bytes blob(log->imported, log->imported + log->importedLength);
    const Bytes header = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x52, 0x53,
                          0x41, 0x31, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
    ASSERT_EQ(blob.size(), 20u + 256u);
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 20), header);
    Bytes modulus = testKeyModulus();
    std::reverse(modulus.begin(), modulus.end());
    EXPECT_EQ(Bytes(blob.begin() + 20, blob.end()), modulus);
    EXPECT_TRUE(CryptDestroyKey(key));

    // A record built from the key text alone, as the controls build it, gives the same blob.
    Bytes bits = testKeyRsaPublicKey();
    BYTE null[] = {0x05, 0x00};
    char oid[] = szOID_RSA_RSA;
    CERT_PUBLIC_KEY_INFO record{{oid, {2, null}}, {static_cast<DWORD>(bits.size()), bits.data(), 0}};
    log->importedLength = 0;
    ASSERT_TRUE(CryptImportPublicKeyInfo(provider, kEncoding, &record, &key));
    EXPECT_EQ(Bytes(log->imported, log->imported + log->importedLength), blob);
    CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
}

TEST_F(ImportPublicKeyTest, OtherAlgorithmsAndDamagedKeysAreRefused) {
    HCRYPTPROV provider = acquire();
    const Bytes good = testKeyRsaPublicKey();
    auto errorOf = [&](const char* algorithm, Bytes bits, DWORD unusedBits = 0) -> DWORD {
        std::string oid = algorithm;
        CERT_PUBLIC_KEY_INFO info{{oid.data(), {0, nullptr}},
                                  {static_cast<DWORD>(bits.size()), bits.data(), unusedBits}};
        HCRYPTKEY key = 0;
        SetLastError(ERROR_SUCCESS);
        if (CryptImportPublicKeyInfo(provider, kEncoding, &info, &key)) {
            CryptDestroyKey(key);
            return ERROR_SUCCESS;
        }
        return GetLastError();
    };
    EXPECT_EQ(errorOf(szOID_RSA_RSA, good), ERROR_SUCCESS);
    EXPECT_EQ(errorOf("1.2.840.10045.2.1", good), static_cast<DWORD>(NTE_BAD_ALGID));
    Bytes octets = good;
    octets[0] = 0x04;
    EXPECT_EQ(errorOf(szOID_RSA_RSA, octets), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    EXPECT_EQ(errorOf(szOID_RSA_RSA, Bytes(good.begin(), good.end() - 1)),
              static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    EXPECT_EQ(errorOf(szOID_RSA_RSA, {}), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    EXPECT_EQ(errorOf(szOID_RSA_RSA, good, 3), static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    // A negative modulus, and an exponent wider than the blob's DWORD.
    EXPECT_EQ(errorOf(szOID_RSA_RSA, {0x30, 0x06, 0x02, 0x01, 0x80, 0x02, 0x01, 0x03}),
              static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    EXPECT_EQ(errorOf(szOID_RSA_RSA,
                      {0x30, 0x0A, 0x02, 0x01, 0x7F, 0x02, 0x05, 0x01, 0x00, 0x00, 0x00, 0x01}),
              static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_NE(errorOf(szOID_RSA_RSA, trailing), ERROR_SUCCESS);

    // The context is checked by the import it ends in.
    CERT_PUBLIC_KEY_INFO info{{const_cast<char*>(szOID_RSA_RSA), {0, nullptr}},
                              {static_cast<DWORD>(good.size()), const_cast<BYTE*>(good.data()), 0}};
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptImportPublicKeyInfo(0x99, kEncoding, &info, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    CryptReleaseContext(provider, 0);
}

} // namespace
