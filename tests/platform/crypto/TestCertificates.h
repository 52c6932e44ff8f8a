// Certificates made with OpenSSL for the crypt32 tests, all signed by one 2048-bit test key.
#pragma once

#include <windows.h>

#include <openssl/evp.h>

#include <ctime>
#include <string>
#include <vector>

using Bytes = std::vector<BYTE>;

struct NameEntry {
    std::string field; // OpenSSL's short name: "CN", "OU", "O", "emailAddress", "C", ...
    std::string value; // UTF-8
    bool bmp = false;  // encode as BMPString instead of UTF8String
};

struct CertificateRecipe {
    std::vector<NameEntry> subject = {{"CN", "Alice"}};
    std::vector<NameEntry> issuer; // empty: self-issued
    Bytes serial = {0x01};         // big-endian magnitude
    std::vector<std::string> subjectEmails; // subjectAltName rfc822Name entries
    std::vector<std::string> issuerEmails;  // issuerAltName rfc822Name entries
    std::time_t notBefore = 1767225600;     // 2026-01-01 00:00:00 UTC
    std::time_t notAfter = 1798761600;      // 2027-01-01 00:00:00 UTC
};

EVP_PKEY* testKey();
// The DER certificate of the recipe; empty (with a test failure) if OpenSSL refused.
Bytes makeCertificate(const CertificateRecipe& recipe);
// The DER RSAPublicKey of the test key.
Bytes testKeyRsaPublicKey();
// The test key's modulus, most significant byte first.
Bytes testKeyModulus();
