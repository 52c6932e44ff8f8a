#include "CertDetails.h"

#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::string nameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return {};
    return bioText(bio.get());
}

std::string timeText(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string hexText(const unsigned char* bytes, size_t length, char separator) {
    std::string text;
    char hex[3];
    for (size_t i = 0; i < length; ++i) {
        if (i > 0)
            text += separator;
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

std::string fingerprint(const X509* certificate, const EVP_MD* digest) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, digest, value, &length) != 1)
        return {};
    return hexText(value, length, ':');
}

std::string serialText(const ASN1_INTEGER* serial) {
    if (serial == nullptr)
        return {};
    std::string sign = ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER ? "-" : "";
    return sign + hexText(ASN1_STRING_get0_data(serial),
                          static_cast<size_t>(ASN1_STRING_length(serial)), ' ');
}

std::string objectText(const ASN1_OBJECT* object, bool dotted) {
    char text[128];
    int length = OBJ_obj2txt(text, sizeof text, object, dotted ? 1 : 0);
    return length > 0 ? std::string(text) : std::string();
}

CertificateExtensionDetails describeExtension(X509_EXTENSION* extension) {
    CertificateExtensionDetails details;
    const ASN1_OBJECT* object = X509_EXTENSION_get_object(extension);
    details.oid = objectText(object, true);
    int nid = OBJ_obj2nid(object);
    details.name = nid != NID_undef ? OBJ_nid2ln(nid) : details.oid;
    details.critical = X509_EXTENSION_get_critical(extension) != 0;
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (bio && X509V3_EXT_print(bio.get(), extension, 0, 0) == 1) {
        details.value = bioText(bio.get());
    } else {
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        details.value = hexText(ASN1_STRING_get0_data(data),
                                static_cast<size_t>(ASN1_STRING_length(data)), ' ');
    }
    return details;
}

} // namespace

void DescribeCertificate(const X509* certificate, CertificateDetails& out) {
    out = {};
    // Formatted into a buffer: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // building this short text with std::string operators.
    char version[24];
    std::snprintf(version, sizeof version, "V%ld", X509_get_version(certificate) + 1);
    out.version = version;
    out.subject = nameText(X509_get_subject_name(certificate));
    out.issuer = nameText(X509_get_issuer_name(certificate));
    out.notBefore = timeText(X509_get0_notBefore(certificate));
    out.notAfter = timeText(X509_get0_notAfter(certificate));
    out.serialNumber = serialText(X509_get0_serialNumber(certificate));
    int signatureNid = X509_get_signature_nid(certificate);
    out.signatureAlgorithm = signatureNid != NID_undef ? OBJ_nid2ln(signatureNid) : "";
    if (EVP_PKEY* key = X509_get0_pubkey(certificate)) {
        const char* name = EVP_PKEY_get0_type_name(key);
        out.publicKeyAlgorithm = name != nullptr ? name : "";
        out.publicKeyBits = EVP_PKEY_get_bits(key);
    }
    out.sha1Fingerprint = fingerprint(certificate, EVP_sha1());
    out.sha256Fingerprint = fingerprint(certificate, EVP_sha256());
    for (int i = 0; i < X509_get_ext_count(certificate); ++i)
        out.extensions.push_back(describeExtension(X509_get_ext(certificate, i)));
}

bool DescribeCertificate(const unsigned char* der, size_t size, CertificateDetails& out) {
    out = {};
    if (der == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX))
        return false;
    const unsigned char* p = der;
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (!certificate || p != der + size)
        return false;
    DescribeCertificate(certificate.get(), out);
    return true;
}

bool DescribeCertificate(const std::vector<unsigned char>& der, CertificateDetails& out) {
    return DescribeCertificate(der.data(), der.size(), out);
}
