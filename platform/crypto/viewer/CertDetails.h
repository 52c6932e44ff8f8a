#pragma once

// A certificate's details as texts, for the certificate viewer. No toolkit and no token: the
// manager and the certificate dialog of the CryptoAPI layer both describe DER bytes with it.

#include <openssl/x509.h>

#include <string>
#include <vector>

struct CertificateExtensionDetails {
    std::string oid;  // dotted form
    std::string name; // long name, or the OID when OpenSSL has none
    bool critical = false;
    std::string value; // readable text; a hex dump when no printer knows it
};

struct CertificateDetails {
    std::string version; // "V3"
    std::string subject; // one line, RFC 2253 order
    std::string issuer;
    std::string notBefore; // "2026-01-31 12:00:00 UTC"
    std::string notAfter;
    std::string serialNumber;       // upper-case hex, bytes separated by spaces
    std::string signatureAlgorithm; // long name
    std::string publicKeyAlgorithm; // "RSA", "EC", ...
    int publicKeyBits = 0;
    std::string sha1Fingerprint; // upper-case hex, bytes separated by ':'
    std::string sha256Fingerprint;
    std::vector<CertificateExtensionDetails> extensions;
};

// False when the bytes are not exactly one X.509 certificate (trailing bytes included).
bool DescribeCertificate(const std::vector<unsigned char>& der, CertificateDetails& out);
bool DescribeCertificate(const unsigned char* der, size_t size, CertificateDetails& out);
void DescribeCertificate(const X509* certificate, CertificateDetails& out);

// "View certificate": the viewer's fixed, untranslated title.
inline constexpr const char* kCertificateViewerTitle = "View certificate";
