#include "TestCertificates.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES, GENERAL_NAMES_free>>;

// UTF-8 to the UTF-16BE bytes of a BMPString (the test texts stay inside the BMP).
std::string bmpBytes(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char32_t code = c;
        size_t length = 1;
        if (c >= 0xE0) {
            code = ((c & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
            length = 3;
        } else if (c >= 0xC0) {
            code = ((c & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
            length = 2;
        }
        out += static_cast<char>(code >> 8);
        out += static_cast<char>(code & 0xFF);
        i += length;
    }
    return out;
}

X509NamePtr makeName(const std::vector<NameEntry>& entries) {
    X509NamePtr name(X509_NAME_new());
    for (const NameEntry& entry : entries) {
        int ok = 0;
        if (entry.bmp) {
            const std::string bytes = bmpBytes(entry.value);
            ok = X509_NAME_add_entry_by_txt(name.get(), entry.field.c_str(), V_ASN1_BMPSTRING,
                                            reinterpret_cast<const unsigned char*>(bytes.data()),
                                            static_cast<int>(bytes.size()), -1, 0);
        } else {
            ok = X509_NAME_add_entry_by_txt(name.get(), entry.field.c_str(), MBSTRING_UTF8,
                                            reinterpret_cast<const unsigned char*>(entry.value.c_str()),
                                            -1, -1, 0);
        }
        EXPECT_EQ(ok, 1) << entry.field;
    }
    return name;
}

void addEmails(X509* certificate, int nid, const std::vector<std::string>& emails) {
    if (emails.empty())
        return;
    GeneralNamesPtr names(GENERAL_NAMES_new());
    for (const std::string& email : emails) {
        GENERAL_NAME* general = GENERAL_NAME_new();
        ASN1_IA5STRING* text = ASN1_IA5STRING_new();
        ASN1_STRING_set(text, email.data(), static_cast<int>(email.size()));
        GENERAL_NAME_set0_value(general, GEN_EMAIL, text);
        sk_GENERAL_NAME_push(names.get(), general);
    }
    X509_add1_ext_i2d(certificate, nid, names.get(), 0, X509V3_ADD_DEFAULT);
}

} // namespace

EVP_PKEY* testKey() {
    static KeyPtr key(EVP_RSA_gen(2048));
    return key.get();
}

Bytes makeCertificate(const CertificateRecipe& recipe) {
    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), X509_VERSION_3);
    BignumPtr serial(BN_bin2bn(recipe.serial.data(), static_cast<int>(recipe.serial.size()), nullptr));
    BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get()));
    X509NamePtr subject = makeName(recipe.subject);
    X509NamePtr issuer = makeName(recipe.issuer.empty() ? recipe.subject : recipe.issuer);
    X509_set_subject_name(certificate.get(), subject.get());
    X509_set_issuer_name(certificate.get(), issuer.get());
    ASN1_TIME_set(X509_getm_notBefore(certificate.get()), recipe.notBefore);
    ASN1_TIME_set(X509_getm_notAfter(certificate.get()), recipe.notAfter);
    X509_set_pubkey(certificate.get(), testKey());

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    ExtensionPtr basic(X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints, "critical,CA:FALSE"));
    X509_add_ext(certificate.get(), basic.get(), -1);
    addEmails(certificate.get(), NID_subject_alt_name, recipe.subjectEmails);
    addEmails(certificate.get(), NID_issuer_alt_name, recipe.issuerEmails);

    EXPECT_GT(X509_sign(certificate.get(), testKey(), EVP_sha256()), 0);
    const int length = i2d_X509(certificate.get(), nullptr);
    if (length <= 0) {
        ADD_FAILURE() << "certificate not encoded";
        return {};
    }
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509(certificate.get(), &p);
    return der;
}

Bytes testKeyRsaPublicKey() {
    const int length = i2d_PublicKey(testKey(), nullptr);
    Bytes der(static_cast<size_t>(length > 0 ? length : 0));
    unsigned char* p = der.data();
    i2d_PublicKey(testKey(), &p);
    return der;
}

Bytes testKeyModulus() {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(testKey(), OSSL_PKEY_PARAM_RSA_N, &n);
    BignumPtr modulus(n);
    Bytes out(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    return out;
}
