#include "CertFileImport.h"
#include "CertFixtures.h"

#include <gtest/gtest.h>

namespace {

TEST(DetectEncodingTest, AnyDerSequenceIsDerAndEverythingElseText) {
    struct Case {
        Bytes head;
        FileEncoding expected;
    } cases[] = {
        {{0x30, 0x82, 0x03}, FileEncoding::Der},
        {{0x30, 0x81, 0xF0}, FileEncoding::Der},
        {{0x30, 0x45, 0x02}, FileEncoding::Der},
        {{0x30, 0x83, 0x01}, FileEncoding::Der},
        {{0x30, 0x80, 0x06}, FileEncoding::Der},
        {{0x30, 0x85, 0x00}, FileEncoding::Der},
        {{0x30, 0xFF, 0x00}, FileEncoding::Text},
        {{'-', '-', '-'}, FileEncoding::Text},
        {{'M', 'I', 'I'}, FileEncoding::Text},
        {{0x30}, FileEncoding::Text},
        {{}, FileEncoding::Text},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DetectEncoding(c.head.data(), c.head.size()), c.expected)
            << (c.head.size() > 1 ? int(c.head[1]) : -1);
    }
    EXPECT_EQ(DetectFileEncoding("/nonexistent/file.cer"), FileEncoding::Unreadable);
}

TEST(NormalizePemTextTest, StripsArmourAndLineEndsAndWrapsAt64) {
    std::string body(150, 'A');
    std::string input = "junk -----BEGIN CERTIFICATE-----\r\n" + body.substr(0, 70) + "\n" +
                        body.substr(70) + "\r\n-----END CERTIFICATE----- trailing";
    std::string expected = "-----BEGIN CERTIFICATE-----\r\n" + body.substr(0, 64) + "\r\n" +
                           body.substr(64, 64) + "\r\n" + body.substr(128) +
                           "\r\n-----END CERTIFICATE-----";
    EXPECT_EQ(NormalizePemText(input), expected);
}

TEST(NormalizePemTextTest, ExactLinesGetNoEmptyLineAndSpacesStay) {
    std::string line(64, 'B');
    EXPECT_EQ(NormalizePemText(line),
              "-----BEGIN CERTIFICATE-----\r\n" + line + "\r\n-----END CERTIFICATE-----");
    EXPECT_EQ(NormalizePemText("ab cd\r\nef"),
              "-----BEGIN CERTIFICATE-----\r\nab cdef\r\n-----END CERTIFICATE-----");
    EXPECT_EQ(NormalizePemText(""), "-----BEGIN CERTIFICATE-----\r\n\r\n-----END CERTIFICATE-----");
}

TEST(CertificateFileDecodingTest, TextWithAndWithoutArmourAnyLineLength) {
    certs::EvpPkeyPtr key = fixtures::rsaKey();
    certs::X509Ptr certificate = fixtures::selfSigned("Alice", key.get());
    Bytes der = EncodeCertificateDer(certificate.get());
    const std::string texts[] = {
        fixtures::pem(certificate.get()),
        fixtures::base64(der, 0),
        fixtures::base64(der, 50, "\r\n"),
        fixtures::base64(der, 77),
        "-----BEGIN X509 CERTIFICATE-----\n" + fixtures::base64(der, 13) +
            "\n-----END X509 CERTIFICATE-----\n",
    };
    for (const std::string& text : texts) {
        std::string normalized = NormalizePemText(text);
        ImportResult result = ImportResult::GeneralFailure;
        certs::X509Ptr decoded = DecodeCertificateFile(Bytes(normalized.begin(), normalized.end()),
                                                       FileEncoding::Text, result);
        EXPECT_EQ(result, ImportResult::Success) << text;
        ASSERT_TRUE(decoded);
        EXPECT_EQ(X509_cmp(decoded.get(), certificate.get()), 0);
    }
    ImportResult result = ImportResult::GeneralFailure;
    EXPECT_TRUE(DecodeCertificateFile(der, FileEncoding::Der, result));
    EXPECT_EQ(result, ImportResult::Success);
    Bytes cut(der.begin(), der.begin() + 100);
    EXPECT_FALSE(DecodeCertificateFile(cut, FileEncoding::Der, result));
    EXPECT_EQ(result, ImportResult::NotSupported);
}

TEST(Pkcs7DecodingTest, BundlesOfZeroOneAndThreeCertificatesInDerAndText) {
    certs::EvpPkeyPtr key = fixtures::rsaKey();
    std::vector<certs::X509Ptr> owned;
    for (long serial = 1; serial <= 3; ++serial)
        owned.push_back(fixtures::selfSigned("Cert " + std::to_string(serial), key.get(), serial));
    for (size_t count : {size_t(0), size_t(1), size_t(3)}) {
        std::vector<X509*> list;
        for (size_t i = 0; i < count; ++i)
            list.push_back(owned[i].get());
        Bytes der = fixtures::makePkcs7(list);
        ImportResult result = ImportResult::GeneralFailure;
        certs::Pkcs7Ptr bundle = DecodePkcs7File(der, FileEncoding::Der, result);
        ASSERT_TRUE(bundle);
        std::vector<X509*> found = Pkcs7Certificates(bundle.get());
        ASSERT_EQ(found.size(), count);
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(X509_cmp(found[i], owned[i].get()), 0);

        // The text path puts certificate armour round it; the PKCS#7 reader accepts that.
        std::string text = NormalizePemText(fixtures::pemPkcs7(der));
        bundle = DecodePkcs7File(Bytes(text.begin(), text.end()), FileEncoding::Text, result);
        ASSERT_TRUE(bundle) << count;
        EXPECT_EQ(Pkcs7Certificates(bundle.get()).size(), count);
    }
    ImportResult result = ImportResult::GeneralFailure;
    certs::Pkcs7Ptr data = DecodePkcs7File(fixtures::makePkcs7Data(), FileEncoding::Der, result);
    ASSERT_TRUE(data);
    EXPECT_TRUE(Pkcs7Certificates(data.get()).empty());
}

} // namespace
