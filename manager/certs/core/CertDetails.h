#pragma once

// A certificate's details as texts, for the certificate viewer.

#include "CertCommon.h"

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

// False when the bytes are no X.509 certificate.
bool DescribeCertificate(const Bytes& der, CertificateDetails& out);
void DescribeCertificate(const X509* certificate, CertificateDetails& out);

// "View certificate": the viewer's fixed, untranslated title.
inline constexpr const char* kCertificateViewerTitle = "View certificate";

// The certificate object's value read for the viewer, in a session of its own.
CK_RV ReadCertificateForViewer(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId,
                               CK_OBJECT_HANDLE handle, CertificateDetails& out);
